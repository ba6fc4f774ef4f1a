// The headless application: windows, view controllers with presentation, navigation and tab
// containers, URL opening, badge and application state, storyboards, the share sheet, the
// pasteboard, review requests and the main screen.
//
// View controllers and windows are used on the main thread, as on the platform; they are not
// guarded. The process-wide objects (Application, Storyboard registry, Pasteboard, Screen,
// StoreReview) may be used from any thread. Completions run on the main run loop.
//
// Ownership follows the platform: a window holds its root view controller, a presenting
// controller holds the controller it presents, containers hold their children; the links
// back (presentingViewController, parentViewController, navigationController) are weak.
// Controllers must be owned by a std::shared_ptr to present, push or contain others.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "qmplatform/webview.hpp"  // Rect
#include "quelmar/value.hpp"

namespace qm {
template <typename T>
class NoDestructor;
}  // namespace qm

namespace qm::platform {

struct Size {
    double width = 0, height = 0;
};

struct Point {
    double x = 0, y = 0;
};

// The platform's values.
enum class ModalPresentationStyle {
    Automatic = -2,
    None = -1,
    FullScreen = 0,
    PageSheet = 1,
    FormSheet = 2,
    CurrentContext = 3,
    Custom = 4,
    OverFullScreen = 5,
    OverCurrentContext = 6,
    Popover = 7,
};

class NavigationController;
class TabBarController;
class Storyboard;

// ---------------------------------------------------------------------------------------------
class ViewController : public std::enable_shared_from_this<ViewController> {
public:
    explicit ViewController(std::string className = "UIViewController");
    virtual ~ViewController() = default;
    ViewController(const ViewController&) = delete;
    ViewController& operator=(const ViewController&) = delete;

    // The class name the controller reports (routers and logs use it).
    virtual std::string className() const { return className_; }

    // The storyboard the controller was instantiated from; nothing for one made in code.
    std::shared_ptr<Storyboard> storyboard() const { return storyboard_; }

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }

    ModalPresentationStyle modalPresentationStyle() const { return modalPresentationStyle_; }
    void setModalPresentationStyle(ModalPresentationStyle style) { modalPresentationStyle_ = style; }

    // The controller this one presents, if any.
    std::shared_ptr<ViewController> presentedViewController() const { return presented_; }
    // The controller that presented this one or, for a child of a container, the one that
    // presented the nearest presented ancestor.
    std::shared_ptr<ViewController> presentingViewController() const;
    // The container holding this controller (navigation or tab bar controller), if any.
    std::shared_ptr<ViewController> parentViewController() const { return parent_.lock(); }
    // The nearest navigation / tab bar controller among the ancestors.
    std::shared_ptr<NavigationController> navigationController() const;
    std::shared_ptr<TabBarController> tabBarController() const;

    // Presents `controller` over this one: both links are set at once and the completion runs
    // on the main run loop. Refused (false, and the completion does not run) when the
    // controller is null, is this one, is already presented or contained, or when this one
    // is already presenting a controller or is not owned by a std::shared_ptr.
    bool presentViewController(std::shared_ptr<ViewController> controller, bool animated,
                               std::function<void()> completion = {});
    // On a presenting controller: dismisses what it presents (with everything presented on
    // top of that). On a presented one (or a child of one): asks its presenter to dismiss it.
    // The completion runs on the main run loop, also when there was nothing to dismiss.
    void dismissViewControllerAnimated(bool animated, std::function<void()> completion = {});

private:
    friend class NavigationController;
    friend class TabBarController;
    friend class Storyboard;
    void dismissPresented();

    std::string className_;
    std::shared_ptr<Storyboard> storyboard_;
    std::string title_;
    ModalPresentationStyle modalPresentationStyle_ = ModalPresentationStyle::Automatic;
    std::shared_ptr<ViewController> presented_;
    std::weak_ptr<ViewController> presenting_;
    std::weak_ptr<ViewController> parent_;
};

// ---------------------------------------------------------------------------------------------
// A stack of controllers; the last one is on top.
class NavigationController : public ViewController {
public:
    explicit NavigationController(std::string className = "UINavigationController");
    static std::shared_ptr<NavigationController> withRootViewController(std::shared_ptr<ViewController> root);

    const std::vector<std::shared_ptr<ViewController>>& viewControllers() const { return stack_; }
    // Replaces the stack. Refused (false, stack unchanged) when an entry is null, repeated,
    // presented, or contained elsewhere.
    bool setViewControllers(std::vector<std::shared_ptr<ViewController>> controllers, bool animated = false);
    // Refused (false) for the same reasons.
    bool pushViewController(std::shared_ptr<ViewController> controller, bool animated);
    // Pops the top controller and returns it; nothing when only the root is left.
    std::shared_ptr<ViewController> popViewControllerAnimated(bool animated);
    // Pops everything above the root and returns the popped controllers, bottom first.
    std::vector<std::shared_ptr<ViewController>> popToRootViewControllerAnimated(bool animated);

    std::shared_ptr<ViewController> topViewController() const;
    // What is seen: the controller presented over this one (the last of a chain of
    // presentations), else the top of the stack.
    std::shared_ptr<ViewController> visibleViewController() const;

private:
    bool accepts(const std::vector<std::shared_ptr<ViewController>>& controllers) const;
    std::vector<std::shared_ptr<ViewController>> stack_;
};

// ---------------------------------------------------------------------------------------------
class TabBarController : public ViewController {
public:
    explicit TabBarController(std::string className = "UITabBarController");

    const std::vector<std::shared_ptr<ViewController>>& viewControllers() const { return tabs_; }
    // Replaces the tabs (refused like NavigationController::setViewControllers). The selected
    // index is kept when still in range, else the first tab is selected.
    bool setViewControllers(std::vector<std::shared_ptr<ViewController>> controllers, bool animated = false);

    // Nothing while there are no tabs.
    std::optional<std::size_t> selectedIndex() const { return selected_; }
    // False (selection unchanged) when out of range.
    bool setSelectedIndex(std::size_t index);
    std::shared_ptr<ViewController> selectedViewController() const;
    // False when the controller is not one of the tabs.
    bool setSelectedViewController(const std::shared_ptr<ViewController>& controller);

private:
    std::vector<std::shared_ptr<ViewController>> tabs_;
    std::optional<std::size_t> selected_;
};

// ---------------------------------------------------------------------------------------------
// Objects the host or library hands to the share sheet besides plain values.
class Object {
public:
    virtual ~Object() = default;
};

// One item to share: a value (text, number, URL text, ...) or an object.
struct ActivityItem {
    ActivityItem(Value v) : value(std::move(v)) {}  // NOLINT: items are written as lists of values
    ActivityItem(const char* text) : value(text) {}  // NOLINT
    ActivityItem(std::shared_ptr<Object> o) : object(std::move(o)) {}  // NOLINT
    template <typename T, typename = std::enable_if_t<std::is_base_of_v<Object, T>>>
    ActivityItem(std::shared_ptr<T> o) : object(std::move(o)) {}  // NOLINT

    // The object as T, when it is one.
    template <typename T>
    std::shared_ptr<T> as() const { return std::dynamic_pointer_cast<T>(object); }

    Value value;
    std::shared_ptr<Object> object;
};
using ActivityItems = std::vector<ActivityItem>;

// The platform's built-in activity types.
inline constexpr const char* kActivityTypeAirDrop = "UIActivityTypeAirDrop";
inline constexpr const char* kActivityTypePrint = "UIActivityTypePrint";
inline constexpr const char* kActivityTypeAssignToContact = "UIActivityTypeAssignToContact";
inline constexpr const char* kActivityTypeSaveToCameraRoll = "UIActivityTypeSaveToCameraRoll";
inline constexpr const char* kActivityTypeAddToReadingList = "UIActivityTypeAddToReadingList";
inline constexpr const char* kActivityTypePostToFlickr = "UIActivityTypePostToFlickr";
inline constexpr const char* kActivityTypePostToVimeo = "UIActivityTypePostToVimeo";
inline constexpr const char* kActivityTypeCopyToPasteboard = "UIActivityTypeCopyToPasteboard";
inline constexpr const char* kActivityTypeMail = "UIActivityTypeMail";
inline constexpr const char* kActivityTypeMessage = "UIActivityTypeMessage";

// An activity an app adds to the share sheet. Called on the main thread.
class Activity {
public:
    virtual ~Activity() = default;
    virtual std::string activityType() const = 0;
    virtual std::string activityTitle() const = 0;
    // The path of the activity's image file; nothing when it has none.
    virtual std::optional<std::string> activityImage() const { return std::nullopt; }
    // Whether the activity can act on these items; only then is it offered.
    virtual bool canPerformWithActivityItems(const ActivityItems& items) = 0;
    // Called when the user picks the activity, before performActivity.
    virtual void prepareWithActivityItems(const ActivityItems& /*items*/) {}
    virtual void performActivity() {}
};

// The share sheet. Nothing is shown; finish() stands in for the user's choice.
class ActivityViewController : public ViewController {
public:
    // activityType is nothing when the user cancelled without choosing.
    using CompletionWithItemsHandler = std::function<void(const std::optional<std::string>& activityType, bool completed)>;

    explicit ActivityViewController(ActivityItems activityItems,
                                    std::vector<std::shared_ptr<Activity>> applicationActivities = {});

    const ActivityItems& activityItems() const { return activityItems_; }
    const std::vector<std::shared_ptr<Activity>>& applicationActivities() const { return applicationActivities_; }
    // The application activities the sheet shows: those not excluded that accept the items.
    std::vector<std::shared_ptr<Activity>> offeredApplicationActivities() const;
    const std::vector<std::string>& excludedActivityTypes() const { return excluded_; }
    void setExcludedActivityTypes(std::vector<std::string> types) { excluded_ = std::move(types); }
    const std::string& subject() const { return subject_; }
    void setSubject(std::string subject) { subject_ = std::move(subject); }
    const CompletionWithItemsHandler& completionWithItemsHandler() const { return handler_; }
    void setCompletionWithItemsHandler(CompletionWithItemsHandler handler) { handler_ = std::move(handler); }

    // The user picked `activityType` (nothing: cancelled). An application activity of that
    // type is prepared with the items and performed; then the sheet dismisses itself and the
    // handler runs on the main run loop. False (nothing happens) for an excluded type or an
    // application activity that is not offered.
    bool finish(const std::optional<std::string>& activityType, bool completed);

private:
    ActivityItems activityItems_;
    std::vector<std::shared_ptr<Activity>> applicationActivities_;
    std::vector<std::string> excluded_;
    std::string subject_;
    CompletionWithItemsHandler handler_;
};

// The controller a user sees from `root`: follows presented controllers, the top of
// navigation stacks and the selected tab, as deep as they go. Nothing for a null root.
std::shared_ptr<ViewController> topMostViewController(const std::shared_ptr<ViewController>& root);

// ---------------------------------------------------------------------------------------------
class Window : public std::enable_shared_from_this<Window> {
public:
    // A window filling the main screen.
    Window();
    explicit Window(Rect frame) : frame_(frame) {}
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    Rect frame() const { return frame_; }
    void setFrame(Rect frame) { frame_ = frame; }
    std::shared_ptr<ViewController> rootViewController() const { return root_; }
    void setRootViewController(std::shared_ptr<ViewController> controller) { root_ = std::move(controller); }
    bool isHidden() const { return hidden_; }
    void setHidden(bool hidden) { hidden_ = hidden; }

    bool isKeyWindow() const;
    // Adds the window to the application (if needed), shows it and makes it the key window.
    void makeKeyAndVisible();

private:
    Rect frame_;
    std::shared_ptr<ViewController> root_;
    bool hidden_ = true;
};

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

    long applicationIconBadgeNumber() const;
    void setApplicationIconBadgeNumber(long number);

    // Active until changed. A change posts the platform's notifications for the transition
    // (will resign active / did enter background / will enter foreground / did become active);
    // "will" notifications see the old state, "did" notifications the new one.
    ApplicationState applicationState() const;
    void setApplicationState(ApplicationState state);

    // Back to a fresh start: no windows, no registered schemes or handler, nothing opened,
    // badge 0, active (no notifications are posted). Test hosts call it.
    void reset();

    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

private:
    friend class Window;
    Application();
    ~Application() = default;
    void makeKey(const std::shared_ptr<Window>& window);

    struct Impl;
    Impl* impl_;  // never destroyed, like the application itself
};

// ---------------------------------------------------------------------------------------------
// A named set of controller factories the host fills.
class Storyboard : public std::enable_shared_from_this<Storyboard> {
public:
    using Factory = std::function<std::shared_ptr<ViewController>()>;

    // The storyboard of this name, created empty on first use.
    static std::shared_ptr<Storyboard> named(const std::string& name);
    static void setMain(const std::string& name);
    // The storyboard named by setMain; nothing before.
    static std::shared_ptr<Storyboard> main();

    const std::string& name() const { return name_; }
    void registerViewController(const std::string& identifier, Factory factory);
    // A new controller from the identifier's factory, linked back to this storyboard; nothing
    // for an unknown identifier (or a factory that throws or returns nothing).
    std::shared_ptr<ViewController> instantiateViewControllerWithIdentifier(const std::string& identifier) const;
    // Every registered identifier, mapped to the name of the controller's nib (here the
    // identifier itself).
    Dictionary identifierToNibNameMap() const;

    explicit Storyboard(std::string name);  // use named()

private:
    struct Impl;
    std::string name_;
    std::shared_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------------
class Pasteboard {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    static constexpr const char* kPlainTextType = "public.utf8-plain-text";

    static Pasteboard& general();

    // The text of the first item that has plain text; nothing otherwise.
    std::optional<std::string> string() const;
    // Replaces the contents with one plain text item.
    void setString(std::string text);
    // Each item maps a type identifier to its value.
    std::vector<Dictionary> items() const;
    void setItems(std::vector<Dictionary> items);
    // Grows by one with every change of the contents.
    long changeCount() const;

    Pasteboard(const Pasteboard&) = delete;
    Pasteboard& operator=(const Pasteboard&) = delete;

private:
    Pasteboard() = default;
    ~Pasteboard() = default;
    struct Impl;
    Impl& impl() const;
};

// ---------------------------------------------------------------------------------------------
// Review requests show nothing here; they are counted.
class StoreReview {
public:
    static void requestReview();
    static long requestCount();
};

// ---------------------------------------------------------------------------------------------
class Screen {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    static Screen& main();

    // In points, at the origin; 390 x 844 until changed.
    Rect bounds() const;
    void setBoundsSize(Size size);
    // Pixels per point; 3 until changed. Values that are not positive are ignored.
    double scale() const;
    void setScale(double scale);

    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

private:
    Screen() = default;
    ~Screen() = default;
    struct Impl;
    Impl& impl() const;
};

}  // namespace qm::platform
