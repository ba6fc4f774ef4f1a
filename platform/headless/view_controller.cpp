#include "qmplatform/view_controller.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "qmplatform/dispatch.hpp"
#include "qmbase/no_destructor.hpp"

namespace qm::platform {

namespace {

// Queues a completion on the main run loop (nothing for an empty one).
void runOnMain(std::function<void()> completion) {
    if (completion) Queue::main().async(std::move(completion));
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

}  // namespace qm::platform
