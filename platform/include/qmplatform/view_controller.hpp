// View controllers with presentation, navigation and tab containers, storyboards and the
// share sheet.
//
// View controllers are used on the main thread, as on the platform; they are not guarded.
// The Storyboard registry may be used from any thread. Completions run on the main run loop.
//
// Ownership follows the platform: a presenting controller holds the controller it presents,
// containers hold their children; the links back (presentingViewController,
// parentViewController, navigationController) are weak. Controllers must be owned by a
// std::shared_ptr to present, push or contain others.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "quelmar/value.hpp"

namespace qm::platform {

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
class View;  // the screen library's (qmui/view.hpp)
class NavigationItem;  // the screen library's (qmui/navigation_bar.hpp)

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

    // The controller's root view, made on first use by the screen library's `viewOf()`
    // (which calls loadView(), then viewDidLoad()). Nothing before that.
    std::shared_ptr<View> viewIfLoaded() const { return view_; }
    bool isViewLoaded() const { return view_ != nullptr; }
    void setView(std::shared_ptr<View> view) { view_ = std::move(view); }
    // Subclasses make their root view here (setView); the screen library makes a plain view
    // filling the screen when none was set.
    virtual void loadView() {}
    virtual void viewDidLoad() {}

    // The item standing for the controller in a navigation bar, made on first use by the
    // screen library's `navigationItemOf()`. Nothing before that.
    std::shared_ptr<NavigationItem> navigationItemIfLoaded() const { return navigationItem_; }
    void setNavigationItem(std::shared_ptr<NavigationItem> item) { navigationItem_ = std::move(item); }

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
    std::shared_ptr<View> view_;
    std::shared_ptr<NavigationItem> navigationItem_;
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

}  // namespace qm::platform
