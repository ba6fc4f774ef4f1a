// The headless application: its windows, URL opening, badge and application state, and
// review requests.
//
// The process-wide objects (Application, StoreReview) may be used from any thread.
// Completions run on the main run loop.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quelmar/value.hpp"

namespace qm {
template <typename T>
class NoDestructor;
}  // namespace qm

namespace qm::platform {

struct Configuration;

class Window;

// ---------------------------------------------------------------------------------------------
enum class ApplicationState { Active, Inactive, Background };

// Posted on the default notification center, on the thread that changes the state.
inline constexpr const char* kApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
inline constexpr const char* kApplicationDidEnterBackgroundNotification = "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* kApplicationWillEnterForegroundNotification = "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* kApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";

class Application {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    static Application& shared();

    // Windows in the order they were added.
    std::vector<std::shared_ptr<Window>> windows() const;
    std::shared_ptr<Window> keyWindow() const;
    // Null and already-added windows are ignored.
    void addWindow(std::shared_ptr<Window> window);
    // Removes the window; it stops being the key window.
    void removeWindow(const std::shared_ptr<Window>& window);

    // Declares that some app opens URLs of this scheme (compared without case). "http" and
    // "https" always open.
    void registerURLScheme(const std::string& scheme);
    // Asked, on the thread calling openURL, about every URL that is not http or https; its
    // answer says whether the URL opened (an app of a registered scheme may still refuse).
    // Null removes it.
    void setOpenURLHandler(std::function<bool(const std::string& url)> handler);
    // Whether the URL's scheme is known (registered, or http/https). The handler is not asked.
    bool canOpenURL(const std::string& url) const;
    // Opens the URL: the host's handler answers when there is one (see above); without one,
    // known schemes open and others do not. Text that is not a URL never opens. Options are
    // accepted and not used. The completion runs on the main run loop with whether the URL
    // opened.
    void openURL(const std::string& url, const Dictionary& options = {},
                 std::function<void(bool success)> completion = {});
    // The URLs that opened, in order.
    std::vector<std::string> openedURLs() const;

    // Registration with the push service. The app's token is not made here: the host (or a
    // test) hands it to the library when the app has registered.
    void registerForRemoteNotifications();
    void unregisterForRemoteNotifications();
    bool isRegisteredForRemoteNotifications() const;
    // How many times registerForRemoteNotifications was called.
    long remoteNotificationRegistrationCount() const;

    long applicationIconBadgeNumber() const;
    void setApplicationIconBadgeNumber(long number);

    // Active until changed. A change posts the platform's notifications for the transition
    // (will resign active / did enter background / will enter foreground / did become active);
    // "will" notifications see the old state, "did" notifications the new one.
    ApplicationState applicationState() const;
    void setApplicationState(ApplicationState state);

    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

private:
    // Back to a fresh start: no windows, no registered schemes or handler, nothing opened,
    // not registered for remote notifications, badge 0, active (no notifications are posted). configure() starts the app this way.
    friend bool configure(Configuration configuration);
    void reset();

    friend class Window;
    Application();
    ~Application() = default;
    void makeKey(const std::shared_ptr<Window>& window);

    struct Impl;
    Impl* impl_;  // never destroyed, like the application itself
};

// ---------------------------------------------------------------------------------------------
// Review requests show nothing here; they are counted.
class StoreReview {
public:
    static void requestReview();
    static long requestCount();
};

}  // namespace qm::platform
