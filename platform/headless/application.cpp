#include "qmplatform/application.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "qmplatform/dispatch.hpp"
#include "qmplatform/notification_center.hpp"
#include "qmplatform/url.hpp"
#include "qmbase/no_destructor.hpp"

namespace qm::platform {

namespace {

// Queues a completion on the main run loop (nothing for an empty one).
void runOnMain(std::function<void()> completion) {
    if (completion) Queue::main().async(std::move(completion));
}

std::string lowercased(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A controller may join a container or be presented only when it is free: not presented,
// not contained.
bool isFree(const ViewController& controller) {
    return !controller.parentViewController() && !controller.presentingViewController();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ViewController

ViewController::ViewController(std::string className) : className_(std::move(className)) {}

std::shared_ptr<ViewController> ViewController::presentingViewController() const {
    if (auto presenter = presenting_.lock()) return presenter;
    if (auto parent = parent_.lock()) return parent->presentingViewController();
    return nullptr;
}

std::shared_ptr<NavigationController> ViewController::navigationController() const {
    for (auto parent = parent_.lock(); parent; parent = parent->parent_.lock()) {
        if (auto navigation = std::dynamic_pointer_cast<NavigationController>(parent)) return navigation;
    }
    return nullptr;
}

std::shared_ptr<TabBarController> ViewController::tabBarController() const {
    for (auto parent = parent_.lock(); parent; parent = parent->parent_.lock()) {
        if (auto tabs = std::dynamic_pointer_cast<TabBarController>(parent)) return tabs;
    }
    return nullptr;
}

bool ViewController::presentViewController(std::shared_ptr<ViewController> controller, bool /*animated*/,
                                           std::function<void()> completion) {
    auto self = weak_from_this().lock();
    if (!self || !controller || controller == self || presented_ || !isFree(*controller)) return false;
    controller->presenting_ = self;
    presented_ = std::move(controller);
    runOnMain(std::move(completion));
    return true;
}

void ViewController::dismissPresented() {
    // Unlinks the whole chain presented from here, top to bottom of the chain.
    auto current = std::move(presented_);
    presented_.reset();
    while (current) {
        current->presenting_.reset();
        auto next = std::move(current->presented_);
        current->presented_.reset();
        current = std::move(next);
    }
}

void ViewController::dismissViewControllerAnimated(bool /*animated*/, std::function<void()> completion) {
    if (presented_) {
        dismissPresented();
    } else {
        // Find the controller that was presented: this one or the nearest ancestor.
        std::shared_ptr<ViewController> presented = weak_from_this().lock();
        std::shared_ptr<ViewController> presenter = presenting_.lock();
        for (auto parent = parent_.lock(); !presenter && parent; parent = parent->parent_.lock()) {
            presented = parent;
            presenter = parent->presenting_.lock();
        }
        if (presenter && presenter->presented_ == presented) presenter->dismissPresented();
    }
    runOnMain(std::move(completion));
}

// ---------------------------------------------------------------------------------------------
// NavigationController

NavigationController::NavigationController(std::string className) : ViewController(std::move(className)) {}

std::shared_ptr<NavigationController> NavigationController::withRootViewController(std::shared_ptr<ViewController> root) {
    auto navigation = std::make_shared<NavigationController>();
    if (root) navigation->setViewControllers({std::move(root)});
    return navigation;
}

bool NavigationController::accepts(const std::vector<std::shared_ptr<ViewController>>& controllers) const {
    std::set<const ViewController*> seen;
    for (const auto& controller : controllers) {
        if (!controller || controller.get() == this || !seen.insert(controller.get()).second) return false;
        const bool ours = controller->parent_.lock().get() == this;
        if (!ours && !isFree(*controller)) return false;
    }
    return true;
}

bool NavigationController::setViewControllers(std::vector<std::shared_ptr<ViewController>> controllers, bool /*animated*/) {
    auto self = weak_from_this().lock();
    if (!self || !accepts(controllers)) return false;
    for (const auto& old : stack_) old->parent_.reset();
    stack_ = std::move(controllers);
    for (const auto& controller : stack_) controller->parent_ = self;
    return true;
}

bool NavigationController::pushViewController(std::shared_ptr<ViewController> controller, bool /*animated*/) {
    auto self = weak_from_this().lock();
    if (!self || !controller || controller == self || !isFree(*controller)) return false;
    controller->parent_ = self;
    stack_.push_back(std::move(controller));
    return true;
}

std::shared_ptr<ViewController> NavigationController::popViewControllerAnimated(bool /*animated*/) {
    if (stack_.size() < 2) return nullptr;
    auto popped = std::move(stack_.back());
    stack_.pop_back();
    popped->parent_.reset();
    return popped;
}

std::vector<std::shared_ptr<ViewController>> NavigationController::popToRootViewControllerAnimated(bool /*animated*/) {
    std::vector<std::shared_ptr<ViewController>> popped;
    if (stack_.size() < 2) return popped;
    popped.assign(stack_.begin() + 1, stack_.end());
    stack_.resize(1);
    for (const auto& controller : popped) controller->parent_.reset();
    return popped;
}

std::shared_ptr<ViewController> NavigationController::topViewController() const {
    return stack_.empty() ? nullptr : stack_.back();
}

std::shared_ptr<ViewController> NavigationController::visibleViewController() const {
    auto shown = presentedViewController();
    if (!shown) return topViewController();
    while (auto next = shown->presentedViewController()) shown = next;
    return shown;
}

// ---------------------------------------------------------------------------------------------
// TabBarController

TabBarController::TabBarController(std::string className) : ViewController(std::move(className)) {}

bool TabBarController::setViewControllers(std::vector<std::shared_ptr<ViewController>> controllers, bool /*animated*/) {
    auto self = weak_from_this().lock();
    if (!self) return false;
    std::set<const ViewController*> seen;
    for (const auto& controller : controllers) {
        if (!controller || controller == self || !seen.insert(controller.get()).second) return false;
        const bool ours = controller->parent_.lock() == self;
        if (!ours && !isFree(*controller)) return false;
    }
    for (const auto& old : tabs_) old->parent_.reset();
    tabs_ = std::move(controllers);
    for (const auto& controller : tabs_) controller->parent_ = self;
    if (tabs_.empty()) {
        selected_.reset();
    } else if (!selected_ || *selected_ >= tabs_.size()) {
        selected_ = 0;
    }
    return true;
}

bool TabBarController::setSelectedIndex(std::size_t index) {
    if (index >= tabs_.size()) return false;
    selected_ = index;
    return true;
}

std::shared_ptr<ViewController> TabBarController::selectedViewController() const {
    return selected_ && *selected_ < tabs_.size() ? tabs_[*selected_] : nullptr;
}

bool TabBarController::setSelectedViewController(const std::shared_ptr<ViewController>& controller) {
    auto it = std::find(tabs_.begin(), tabs_.end(), controller);
    if (!controller || it == tabs_.end()) return false;
    selected_ = static_cast<std::size_t>(it - tabs_.begin());
    return true;
}

// ---------------------------------------------------------------------------------------------
// ActivityViewController

ActivityViewController::ActivityViewController(ActivityItems activityItems,
                                               std::vector<std::shared_ptr<Activity>> applicationActivities)
    : ViewController("UIActivityViewController"),
      activityItems_(std::move(activityItems)),
      applicationActivities_(std::move(applicationActivities)) {}

std::vector<std::shared_ptr<Activity>> ActivityViewController::offeredApplicationActivities() const {
    std::vector<std::shared_ptr<Activity>> offered;
    for (const auto& activity : applicationActivities_) {
        if (!activity) continue;
        if (std::find(excluded_.begin(), excluded_.end(), activity->activityType()) != excluded_.end()) continue;
        if (activity->canPerformWithActivityItems(activityItems_)) offered.push_back(activity);
    }
    return offered;
}

bool ActivityViewController::finish(const std::optional<std::string>& activityType, bool completed) {
    if (activityType && std::find(excluded_.begin(), excluded_.end(), *activityType) != excluded_.end()) return false;
    std::shared_ptr<Activity> chosen;
    if (activityType) {
        bool known = false;
        for (const auto& activity : applicationActivities_) {
            if (activity && activity->activityType() == *activityType) known = true;
        }
        if (known) {
            for (const auto& activity : offeredApplicationActivities()) {
                if (activity->activityType() == *activityType) chosen = activity;
            }
            if (!chosen) return false;
        }
    }
    if (chosen) {
        chosen->prepareWithActivityItems(activityItems_);
        chosen->performActivity();
    }
    auto handler = handler_;
    dismissViewControllerAnimated(true, handler ? std::function<void()>([handler, activityType, completed] {
        handler(activityType, completed);
    }) : std::function<void()>());
    return true;
}

std::shared_ptr<ViewController> topMostViewController(const std::shared_ptr<ViewController>& root) {
    auto current = root;
    while (current) {
        std::shared_ptr<ViewController> next = current->presentedViewController();
        if (!next) {
            if (auto navigation = std::dynamic_pointer_cast<NavigationController>(current)) {
                next = navigation->topViewController();
            } else if (auto tabs = std::dynamic_pointer_cast<TabBarController>(current)) {
                next = tabs->selectedViewController();
            }
        }
        if (!next) break;
        current = std::move(next);
    }
    return current;
}

// ---------------------------------------------------------------------------------------------
// Window and Application

Window::Window() : frame_(Screen::main().bounds()) {}

bool Window::isKeyWindow() const { return Application::shared().keyWindow().get() == this; }

void Window::makeKeyAndVisible() {
    auto self = weak_from_this().lock();
    if (!self) return;
    hidden_ = false;
    Application::shared().makeKey(self);
}

struct Application::Impl {
    mutable std::mutex mutex;
    std::vector<std::shared_ptr<Window>> windows;
    std::shared_ptr<Window> keyWindow;
    std::set<std::string> schemes{"http", "https"};
    std::shared_ptr<std::function<bool(const std::string&)>> handler;
    std::vector<std::string> opened;
    long badge = 0;
    ApplicationState state = ApplicationState::Active;
};

Application::Application() : impl_(new Impl()) {}

Application& Application::shared() {
    static NoDestructor<Application> application;  // never destroyed
    return *application;
}

void Application::reset() {
    std::vector<std::shared_ptr<Window>> windows;
    std::shared_ptr<Window> key;
    std::shared_ptr<std::function<bool(const std::string&)>> handler;
    {
        std::lock_guard lock(impl_->mutex);
        windows.swap(impl_->windows);
        key.swap(impl_->keyWindow);
        handler.swap(impl_->handler);
        impl_->schemes = {"http", "https"};
        impl_->opened.clear();
        impl_->badge = 0;
        impl_->state = ApplicationState::Active;
    }
    // The old windows and handler are released outside the lock.
}

std::vector<std::shared_ptr<Window>> Application::windows() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->windows;
}

std::shared_ptr<Window> Application::keyWindow() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->keyWindow;
}

void Application::addWindow(std::shared_ptr<Window> window) {
    if (!window) return;
    std::lock_guard lock(impl_->mutex);
    auto& list = impl_->windows;
    if (std::find(list.begin(), list.end(), window) == list.end()) list.push_back(std::move(window));
}

void Application::removeWindow(const std::shared_ptr<Window>& window) {
    std::lock_guard lock(impl_->mutex);
    auto& list = impl_->windows;
    list.erase(std::remove(list.begin(), list.end(), window), list.end());
    if (impl_->keyWindow == window) impl_->keyWindow.reset();
}

void Application::makeKey(const std::shared_ptr<Window>& window) {
    std::lock_guard lock(impl_->mutex);
    auto& list = impl_->windows;
    if (std::find(list.begin(), list.end(), window) == list.end()) list.push_back(window);
    impl_->keyWindow = window;
}

void Application::registerURLScheme(const std::string& scheme) {
    if (scheme.empty()) return;
    std::lock_guard lock(impl_->mutex);
    impl_->schemes.insert(lowercased(scheme));
}

void Application::setOpenURLHandler(std::function<bool(const std::string& url)> handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->handler = handler ? std::make_shared<std::function<bool(const std::string&)>>(std::move(handler)) : nullptr;
}

bool Application::canOpenURL(const std::string& url) const {
    auto parsed = URL::parse(url);
    if (!parsed) return false;
    std::lock_guard lock(impl_->mutex);
    return impl_->schemes.count(parsed->scheme()) != 0;
}

void Application::openURL(const std::string& url, const Dictionary& /*options*/, std::function<void(bool success)> completion) {
    bool opened = false;
    if (auto parsed = URL::parse(url)) {
        std::shared_ptr<std::function<bool(const std::string&)>> handler;
        {
            std::lock_guard lock(impl_->mutex);
            const std::string scheme = parsed->scheme();
            opened = impl_->schemes.count(scheme) != 0;
            if (scheme != "http" && scheme != "https") handler = impl_->handler;
        }
        if (handler) {
            // Called without the lock: the host may call back into the application.
            try {
                opened = (*handler)(url);
            } catch (...) {
                opened = false;
            }
        }
        if (opened) {
            std::lock_guard lock(impl_->mutex);
            impl_->opened.push_back(url);
        }
    }
    if (completion) runOnMain([completion = std::move(completion), opened] { completion(opened); });
}

std::vector<std::string> Application::openedURLs() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->opened;
}

long Application::applicationIconBadgeNumber() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->badge;
}

void Application::setApplicationIconBadgeNumber(long number) {
    std::lock_guard lock(impl_->mutex);
    impl_->badge = number;
}

ApplicationState Application::applicationState() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->state;
}

void Application::setApplicationState(ApplicationState state) {
    const ApplicationState old = applicationState();
    if (old == state) return;
    auto store = [&] {
        std::lock_guard lock(impl_->mutex);
        impl_->state = state;
    };
    auto post = [](const char* name) { NotificationCenter::defaultCenter().post(name); };
    // Leaving the foreground or the background is announced before the change, arriving
    // after it.
    if (old == ApplicationState::Active) post(kApplicationWillResignActiveNotification);
    if (old == ApplicationState::Background) post(kApplicationWillEnterForegroundNotification);
    store();
    if (state == ApplicationState::Background) post(kApplicationDidEnterBackgroundNotification);
    if (state == ApplicationState::Active) post(kApplicationDidBecomeActiveNotification);
}

// ---------------------------------------------------------------------------------------------
// Storyboard

namespace {

struct StoryboardRegistry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<Storyboard>> storyboards;
    std::optional<std::string> mainName;
};

StoryboardRegistry& storyboards() {
    static NoDestructor<StoryboardRegistry> registry;  // never destroyed
    return *registry;
}

}  // namespace

struct Storyboard::Impl {
    mutable std::mutex mutex;
    std::map<std::string, std::shared_ptr<Factory>> factories;
};

Storyboard::Storyboard(std::string name) : name_(std::move(name)), impl_(std::make_shared<Impl>()) {}

std::shared_ptr<Storyboard> Storyboard::named(const std::string& name) {
    auto& registry = storyboards();
    std::lock_guard lock(registry.mutex);
    auto& entry = registry.storyboards[name];
    if (!entry) entry = std::make_shared<Storyboard>(name);
    return entry;
}

void Storyboard::setMain(const std::string& name) {
    auto& registry = storyboards();
    std::lock_guard lock(registry.mutex);
    registry.mainName = name;
}

std::shared_ptr<Storyboard> Storyboard::main() {
    std::optional<std::string> name;
    {
        auto& registry = storyboards();
        std::lock_guard lock(registry.mutex);
        name = registry.mainName;
    }
    return name ? named(*name) : nullptr;
}

void Storyboard::registerViewController(const std::string& identifier, Factory factory) {
    std::lock_guard lock(impl_->mutex);
    if (factory) {
        impl_->factories[identifier] = std::make_shared<Factory>(std::move(factory));
    } else {
        impl_->factories.erase(identifier);
    }
}

std::shared_ptr<ViewController> Storyboard::instantiateViewControllerWithIdentifier(const std::string& identifier) const {
    std::shared_ptr<Factory> factory;
    {
        std::lock_guard lock(impl_->mutex);
        auto it = impl_->factories.find(identifier);
        if (it == impl_->factories.end()) return nullptr;
        factory = it->second;
    }
    std::shared_ptr<ViewController> controller;
    try {
        controller = (*factory)();
    } catch (...) {
        return nullptr;
    }
    if (controller) controller->storyboard_ = std::const_pointer_cast<Storyboard>(weak_from_this().lock());
    return controller;
}

Dictionary Storyboard::identifierToNibNameMap() const {
    Dictionary map;
    std::lock_guard lock(impl_->mutex);
    for (const auto& [identifier, factory] : impl_->factories) map[identifier] = Value(identifier);
    return map;
}

// ---------------------------------------------------------------------------------------------
// Pasteboard, StoreReview, Screen

struct Pasteboard::Impl {
    mutable std::mutex mutex;
    std::vector<Dictionary> items;
    long changeCount = 0;
};

Pasteboard& Pasteboard::general() {
    static NoDestructor<Pasteboard> pasteboard;  // never destroyed
    return *pasteboard;
}

Pasteboard::Impl& Pasteboard::impl() const {
    static NoDestructor<Impl> state;  // never destroyed; there is one pasteboard
    return *state;
}

std::optional<std::string> Pasteboard::string() const {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    for (const auto& item : state.items) {
        auto it = item.find(kPlainTextType);
        if (it != item.end() && it->second.isString()) return it->second.string();
    }
    return std::nullopt;
}

void Pasteboard::setString(std::string text) { setItems({Dictionary{{kPlainTextType, Value(std::move(text))}}}); }

std::vector<Dictionary> Pasteboard::items() const {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    return state.items;
}

void Pasteboard::setItems(std::vector<Dictionary> items) {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    state.items = std::move(items);
    ++state.changeCount;
}

long Pasteboard::changeCount() const {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    return state.changeCount;
}

namespace {
std::atomic<long> reviewRequests{0};
}

void StoreReview::requestReview() { reviewRequests.fetch_add(1); }
long StoreReview::requestCount() { return reviewRequests.load(); }

struct Screen::Impl {
    mutable std::mutex mutex;
    Size size{390, 844};
    double scale = 3;
};

Screen& Screen::main() {
    static NoDestructor<Screen> screen;  // never destroyed
    return *screen;
}

Screen::Impl& Screen::impl() const {
    static NoDestructor<Impl> state;  // never destroyed; there is one main screen
    return *state;
}

Rect Screen::bounds() const {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    return Rect{0, 0, state.size.width, state.size.height};
}

void Screen::setBoundsSize(Size size) {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    state.size = Size{std::max(size.width, 0.0), std::max(size.height, 0.0)};
}

double Screen::scale() const {
    auto& state = impl();
    std::lock_guard lock(state.mutex);
    return state.scale;
}

void Screen::setScale(double scale) {
    auto& state = impl();
    if (!(scale > 0)) return;  // also NaN
    std::lock_guard lock(state.mutex);
    state.scale = scale;
}

}  // namespace qm::platform
