#include "qmplatform/application.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>
#include <set>
#include <utility>

#include "qmplatform/dispatch.hpp"
#include "qmplatform/notification_center.hpp"
#include "qmplatform/url.hpp"
#include "qmplatform/window.hpp"
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

}  // namespace

// ---------------------------------------------------------------------------------------------
// Application

struct Application::Impl {
    mutable std::mutex mutex;
    std::vector<std::shared_ptr<Window>> windows;
    std::shared_ptr<Window> keyWindow;
    std::set<std::string> schemes{"http", "https"};
    std::shared_ptr<std::function<bool(const std::string&)>> handler;
    std::vector<std::string> opened;
    long badge = 0;
    bool registeredForRemote = false;
    long remoteRegistrations = 0;
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
        impl_->registeredForRemote = false;
        impl_->remoteRegistrations = 0;
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

void Application::registerForRemoteNotifications() {
    std::lock_guard lock(impl_->mutex);
    impl_->registeredForRemote = true;
    ++impl_->remoteRegistrations;
}

void Application::unregisterForRemoteNotifications() {
    std::lock_guard lock(impl_->mutex);
    impl_->registeredForRemote = false;
}

bool Application::isRegisteredForRemoteNotifications() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->registeredForRemote;
}

long Application::remoteNotificationRegistrationCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->remoteRegistrations;
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
// StoreReview

namespace {
std::atomic<long> reviewRequests{0};
}

void StoreReview::requestReview() { reviewRequests.fetch_add(1); }
long StoreReview::requestCount() { return reviewRequests.load(); }

}  // namespace qm::platform
