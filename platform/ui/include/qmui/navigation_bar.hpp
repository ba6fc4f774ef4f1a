// Navigation bars: a 44-point bar showing the top item of a stack of navigation items — its
// title (or title view) in the middle, its bar button items at the sides and, when there is an
// item below it, a back button that pops it. Tapping an item's button runs its action.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qmplatform/image.hpp"
#include "qmui/button.hpp"
#include "qmui/label.hpp"
#include "qmui/view.hpp"

namespace qm::platform {

class NavigationBar;
class ViewController;

// The platform's values.
enum class BarButtonItemStyle { Plain = 0, Bordered = 1, Done = 2 };
enum class BarButtonSystemItem {
    Done = 0, Cancel = 1, Edit = 2, Save = 3, Add = 4, FlexibleSpace = 5, FixedSpace = 6, Compose = 7,
    Reply = 8, Action = 9, Organize = 10, Bookmarks = 11, Search = 12, Refresh = 13, Stop = 14, Camera = 15,
    Trash = 16, Play = 17, Pause = 18, Rewind = 19, FastForward = 20, Undo = 21, Redo = 22, Close = 24,
};

// How bar titles are drawn; what is not set keeps the bar's default.
struct BarTextAttributes {
    std::optional<Font> font;
    std::optional<Color> color;
};

// A button in a navigation bar: a title, an image, a system item or a view of the host's own.
class BarButtonItem {
public:
    using Action = std::function<void(BarButtonItem& sender)>;

    static std::shared_ptr<BarButtonItem> withTitle(std::string title, BarButtonItemStyle style = BarButtonItemStyle::Plain,
                                                    Action action = {});
    static std::shared_ptr<BarButtonItem> withImage(std::shared_ptr<Image> image,
                                                    BarButtonItemStyle style = BarButtonItemStyle::Plain, Action action = {});
    // Done and Save come in the done style; the spaces show nothing.
    static std::shared_ptr<BarButtonItem> withSystemItem(BarButtonSystemItem item, Action action = {});
    static std::shared_ptr<BarButtonItem> withCustomView(std::shared_ptr<View> view);
    BarButtonItem() = default;
    BarButtonItem(const BarButtonItem&) = delete;
    BarButtonItem& operator=(const BarButtonItem&) = delete;

    // The title set on the item (empty for system items, as on the platform).
    const std::string& title() const { return title_; }
    void setTitle(std::string title);
    // What the bar shows: the title, else the system item's ("Done", "Cancel", "Edit", …).
    std::string displayedTitle() const;
    std::shared_ptr<Image> image() const { return image_; }
    void setImage(std::shared_ptr<Image> image);
    BarButtonItemStyle style() const { return style_; }
    void setStyle(BarButtonItemStyle style);
    std::optional<BarButtonSystemItem> systemItem() const { return systemItem_; }
    std::shared_ptr<View> customView() const { return customView_; }
    void setCustomView(std::shared_ptr<View> view);
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled);
    // The title's colour; the bar's tint colour when not set.
    std::optional<Color> tintColor() const { return tint_; }
    void setTintColor(std::optional<Color> color);
    // The width of a fixed space (and of a button, when positive).
    double width() const { return width_; }
    void setWidth(double width);
    long tag() const { return tag_; }
    void setTag(long tag) { tag_ = tag; }
    // Per ControlState (Normal, Highlighted, Disabled); a state without its own falls back to
    // Normal.
    void setTitleTextAttributes(BarTextAttributes attributes, unsigned state = ControlStateNormal);
    BarTextAttributes titleTextAttributesForState(unsigned state) const;

    const Action& action() const { return action_; }
    void setAction(Action action) { action_ = std::move(action); }
    // What a tap on the item's button does: runs the action when the item is enabled (true).
    bool perform();

private:
    friend class NavigationBar;
    void changed();

    std::string title_;
    std::shared_ptr<Image> image_;
    BarButtonItemStyle style_ = BarButtonItemStyle::Plain;
    std::optional<BarButtonSystemItem> systemItem_;
    std::shared_ptr<View> customView_;
    bool enabled_ = true;
    std::optional<Color> tint_;
    double width_ = 0;
    long tag_ = 0;
    std::map<unsigned, BarTextAttributes> attributes_;
    Action action_;
    std::weak_ptr<NavigationBar> bar_;  // the bar showing the item, told of changes
};

// What a navigation bar shows for one level: a title or title view, the items at the sides
// and what the back button to this level is called.
class NavigationItem {
public:
    static std::shared_ptr<NavigationItem> create(std::string title = {});
    NavigationItem() = default;
    NavigationItem(const NavigationItem&) = delete;
    NavigationItem& operator=(const NavigationItem&) = delete;

    // The title set on the item; for a controller's item (navigationItemOf) the controller's
    // title until one is set.
    std::string title() const;
    void setTitle(std::string title);
    // Shown instead of the title when set.
    std::shared_ptr<View> titleView() const { return titleView_; }
    void setTitleView(std::shared_ptr<View> view);

    // The back button leading to this item from the one pushed on it: the back item's title,
    // else backButtonTitle, else the title, else "Back".
    std::shared_ptr<BarButtonItem> backBarButtonItem() const { return backItem_; }
    void setBackBarButtonItem(std::shared_ptr<BarButtonItem> item);
    std::optional<std::string> backButtonTitle() const { return backTitle_; }
    void setBackButtonTitle(std::optional<std::string> title);
    bool hidesBackButton() const { return hidesBack_; }
    void setHidesBackButton(bool hides, bool animated = false);
    // Left items replace the back button unless this is set.
    bool leftItemsSupplementBackButton() const { return supplementBack_; }
    void setLeftItemsSupplementBackButton(bool supplement);

    // Left items run from the left edge inwards, right items from the right edge inwards.
    // Null entries are left out.
    const std::vector<std::shared_ptr<BarButtonItem>>& leftBarButtonItems() const { return left_; }
    void setLeftBarButtonItems(std::vector<std::shared_ptr<BarButtonItem>> items, bool animated = false);
    std::shared_ptr<BarButtonItem> leftBarButtonItem() const { return left_.empty() ? nullptr : left_.front(); }
    void setLeftBarButtonItem(std::shared_ptr<BarButtonItem> item, bool animated = false);
    const std::vector<std::shared_ptr<BarButtonItem>>& rightBarButtonItems() const { return right_; }
    void setRightBarButtonItems(std::vector<std::shared_ptr<BarButtonItem>> items, bool animated = false);
    std::shared_ptr<BarButtonItem> rightBarButtonItem() const { return right_.empty() ? nullptr : right_.front(); }
    void setRightBarButtonItem(std::shared_ptr<BarButtonItem> item, bool animated = false);

    // The bar the item is on, if any.
    std::shared_ptr<NavigationBar> navigationBar() const { return bar_.lock(); }

private:
    friend class NavigationBar;
    friend std::shared_ptr<NavigationItem> navigationItemOf(ViewController& controller);
    void changed();

    std::optional<std::string> title_;
    std::shared_ptr<View> titleView_;
    std::shared_ptr<BarButtonItem> backItem_;
    std::optional<std::string> backTitle_;
    bool hidesBack_ = false, supplementBack_ = false;
    std::vector<std::shared_ptr<BarButtonItem>> left_, right_;
    std::weak_ptr<NavigationBar> bar_;
    std::weak_ptr<ViewController> controller_;
};

// The controller's navigation item, made on first use (its title follows the controller's
// until the item gets its own).
std::shared_ptr<NavigationItem> navigationItemOf(ViewController& controller);

class NavigationBar : public View {
public:
    static constexpr double kHeight = 44;
    // Between the bar's edges and its outer items, and between neighbouring items.
    static constexpr double kMargin = 8;
    static constexpr double kSpacing = 8;

    static std::shared_ptr<NavigationBar> create(Rect frame = {});
    explicit NavigationBar(Rect frame = {});
    std::string className() const override { return "UINavigationBar"; }

    // The stack of items; the last one is shown. An item sits on one bar at a time: pushing
    // or setting null, repeated items or items of another bar is refused (false).
    const std::vector<std::shared_ptr<NavigationItem>>& items() const { return items_; }
    bool setItems(std::vector<std::shared_ptr<NavigationItem>> items, bool animated = false);
    bool pushNavigationItem(std::shared_ptr<NavigationItem> item, bool animated = false);
    // Pops the top item and returns it; nothing when there are no items.
    std::shared_ptr<NavigationItem> popNavigationItemAnimated(bool animated = false);
    std::shared_ptr<NavigationItem> topItem() const { return items_.empty() ? nullptr : items_.back(); }
    std::shared_ptr<NavigationItem> backItem() const;
    // Asked before the back button pops the top item; popping goes ahead when absent or true.
    std::function<bool(NavigationBar&, NavigationItem&)> shouldPopItem;

    // The bar's fill; a light grey when neither it nor a background image is set.
    std::optional<Color> barTintColor() const { return barTint_; }
    void setBarTintColor(std::optional<Color> color) { barTint_ = color; }
    bool isTranslucent() const { return translucent_; }
    void setTranslucent(bool translucent) { translucent_ = translucent; }
    // Drawn stretched over the bar instead of the fill.
    std::shared_ptr<Image> backgroundImage() const { return backgroundImage_; }
    void setBackgroundImage(std::shared_ptr<Image> image) { backgroundImage_ = std::move(image); }
    // The title's font (semibold 17 points) and colour (black) when set.
    BarTextAttributes titleTextAttributes() const { return titleAttributes_; }
    void setTitleTextAttributes(BarTextAttributes attributes);

    // The views the bar shows for its top item (to place or tap them): the title label (when
    // the item has no title view), the back button (when shown) and each item's button or
    // custom view.
    std::shared_ptr<Label> titleLabel() const { return titleLabel_; }
    std::shared_ptr<Button> backButton() const { return backButton_; }
    std::shared_ptr<View> viewForItem(const BarButtonItem& item) const;

    Size intrinsicContentSize() const override { return {kViewNoIntrinsicMetric, kHeight}; }
    Size sizeThatFits(Size size) const override;
    void layoutSubviews() override;
    void drawContent(Canvas& canvas, const Rect& bounds, double time) const override;

private:
    friend class NavigationItem;
    friend class BarButtonItem;
    // The top item or one of its bar items changed: make its views again.
    void rebuild();
    void backTapped();
    std::shared_ptr<View> makeItemView(const std::shared_ptr<BarButtonItem>& item);
    bool accepts(const std::vector<std::shared_ptr<NavigationItem>>& items) const;

    std::vector<std::shared_ptr<NavigationItem>> items_;
    std::optional<Color> barTint_;
    bool translucent_ = true;
    std::shared_ptr<Image> backgroundImage_;
    BarTextAttributes titleAttributes_;

    std::shared_ptr<Label> titleLabel_;
    std::shared_ptr<View> titleView_;
    std::shared_ptr<Button> backButton_;
    struct Shown {
        std::weak_ptr<BarButtonItem> item;
        std::shared_ptr<View> view;
    };
    std::vector<Shown> left_, right_;
};

}  // namespace qm::platform
