#include "qmui/navigation_bar.hpp"

#include <algorithm>
#include <cmath>
#include <set>

#include "qmplatform/view_controller.hpp"
#include "qmui/canvas.hpp"

namespace qm::platform {

namespace {

constexpr double kTitleFontSize = 17;
constexpr double kItemFontSize = 17;
const Color kDisabledItemColor = Color::rgba(0.6, 0.6, 0.6);

const char* systemTitle(BarButtonSystemItem item) {
    switch (item) {
        case BarButtonSystemItem::Done: return "Done";
        case BarButtonSystemItem::Cancel: return "Cancel";
        case BarButtonSystemItem::Edit: return "Edit";
        case BarButtonSystemItem::Save: return "Save";
        case BarButtonSystemItem::Undo: return "Undo";
        case BarButtonSystemItem::Redo: return "Redo";
        case BarButtonSystemItem::Add: return "+";
        case BarButtonSystemItem::Close:
        case BarButtonSystemItem::Stop: return "\u2715";
        case BarButtonSystemItem::Refresh: return "\u21BB";
        case BarButtonSystemItem::Play: return "\u25B6";
        case BarButtonSystemItem::Pause: return "\u275A\u275A";
        case BarButtonSystemItem::Compose: return "Compose";
        case BarButtonSystemItem::Reply: return "Reply";
        case BarButtonSystemItem::Action: return "Share";
        case BarButtonSystemItem::Organize: return "Organize";
        case BarButtonSystemItem::Bookmarks: return "Bookmarks";
        case BarButtonSystemItem::Search: return "Search";
        case BarButtonSystemItem::Camera: return "Camera";
        case BarButtonSystemItem::Trash: return "Trash";
        case BarButtonSystemItem::Rewind: return "Rewind";
        case BarButtonSystemItem::FastForward: return "Forward";
        case BarButtonSystemItem::FlexibleSpace:
        case BarButtonSystemItem::FixedSpace: break;
    }
    return "";
}

bool isSpace(const BarButtonItem& item) {
    return item.systemItem() == BarButtonSystemItem::FlexibleSpace || item.systemItem() == BarButtonSystemItem::FixedSpace;
}

std::vector<std::shared_ptr<BarButtonItem>> withoutNulls(std::vector<std::shared_ptr<BarButtonItem>> items) {
    std::erase(items, nullptr);
    return items;
}

}  // namespace

// ---- Bar button items -----------------------------------------------------------------------

std::shared_ptr<BarButtonItem> BarButtonItem::withTitle(std::string title, BarButtonItemStyle style, Action action) {
    auto item = std::make_shared<BarButtonItem>();
    item->title_ = std::move(title);
    item->style_ = style;
    item->action_ = std::move(action);
    return item;
}

std::shared_ptr<BarButtonItem> BarButtonItem::withImage(std::shared_ptr<Image> image, BarButtonItemStyle style, Action action) {
    auto item = std::make_shared<BarButtonItem>();
    item->image_ = std::move(image);
    item->style_ = style;
    item->action_ = std::move(action);
    return item;
}

std::shared_ptr<BarButtonItem> BarButtonItem::withSystemItem(BarButtonSystemItem system, Action action) {
    auto item = std::make_shared<BarButtonItem>();
    item->systemItem_ = system;
    item->style_ = system == BarButtonSystemItem::Done || system == BarButtonSystemItem::Save ? BarButtonItemStyle::Done
                                                                                               : BarButtonItemStyle::Plain;
    item->action_ = std::move(action);
    return item;
}

std::shared_ptr<BarButtonItem> BarButtonItem::withCustomView(std::shared_ptr<View> view) {
    auto item = std::make_shared<BarButtonItem>();
    item->customView_ = std::move(view);
    return item;
}

std::string BarButtonItem::displayedTitle() const {
    if (!title_.empty() || !systemItem_) return title_;
    return systemTitle(*systemItem_);
}

void BarButtonItem::changed() {
    if (auto bar = bar_.lock()) bar->rebuild();
}

void BarButtonItem::setTitle(std::string title) {
    title_ = std::move(title);
    changed();
}

void BarButtonItem::setImage(std::shared_ptr<Image> image) {
    image_ = std::move(image);
    changed();
}

void BarButtonItem::setStyle(BarButtonItemStyle style) {
    style_ = style;
    changed();
}

void BarButtonItem::setCustomView(std::shared_ptr<View> view) {
    customView_ = std::move(view);
    changed();
}

void BarButtonItem::setEnabled(bool enabled) {
    enabled_ = enabled;
    changed();
}

void BarButtonItem::setTintColor(std::optional<Color> color) {
    tint_ = color;
    changed();
}

void BarButtonItem::setWidth(double width) {
    width_ = std::isfinite(width) ? std::max(0.0, width) : 0;
    changed();
}

void BarButtonItem::setTitleTextAttributes(BarTextAttributes attributes, unsigned state) {
    attributes_[state] = std::move(attributes);
    changed();
}

BarTextAttributes BarButtonItem::titleTextAttributesForState(unsigned state) const {
    auto it = attributes_.find(state);
    if (it == attributes_.end()) it = attributes_.find(ControlStateNormal);
    return it == attributes_.end() ? BarTextAttributes{} : it->second;
}

bool BarButtonItem::perform() {
    if (!enabled_ || !action_) return false;
    const Action action = action_;  // the action may replace itself
    action(*this);
    return true;
}

// ---- Navigation items -----------------------------------------------------------------------

std::shared_ptr<NavigationItem> NavigationItem::create(std::string title) {
    auto item = std::make_shared<NavigationItem>();
    if (!title.empty()) item->title_ = std::move(title);
    return item;
}

std::string NavigationItem::title() const {
    if (title_) return *title_;
    if (auto controller = controller_.lock()) return controller->title();
    return {};
}

void NavigationItem::changed() {
    if (auto bar = bar_.lock()) bar->rebuild();
}

void NavigationItem::setTitle(std::string title) {
    title_ = std::move(title);
    changed();
}

void NavigationItem::setTitleView(std::shared_ptr<View> view) {
    titleView_ = std::move(view);
    changed();
}

void NavigationItem::setBackBarButtonItem(std::shared_ptr<BarButtonItem> item) {
    backItem_ = std::move(item);
    changed();
}

void NavigationItem::setBackButtonTitle(std::optional<std::string> title) {
    backTitle_ = std::move(title);
    changed();
}

void NavigationItem::setHidesBackButton(bool hides, bool) {
    hidesBack_ = hides;
    changed();
}

void NavigationItem::setLeftItemsSupplementBackButton(bool supplement) {
    supplementBack_ = supplement;
    changed();
}

void NavigationItem::setLeftBarButtonItems(std::vector<std::shared_ptr<BarButtonItem>> items, bool) {
    left_ = withoutNulls(std::move(items));
    changed();
}

void NavigationItem::setLeftBarButtonItem(std::shared_ptr<BarButtonItem> item, bool animated) {
    setLeftBarButtonItems(item ? std::vector{std::move(item)} : std::vector<std::shared_ptr<BarButtonItem>>{}, animated);
}

void NavigationItem::setRightBarButtonItems(std::vector<std::shared_ptr<BarButtonItem>> items, bool) {
    right_ = withoutNulls(std::move(items));
    changed();
}

void NavigationItem::setRightBarButtonItem(std::shared_ptr<BarButtonItem> item, bool animated) {
    setRightBarButtonItems(item ? std::vector{std::move(item)} : std::vector<std::shared_ptr<BarButtonItem>>{}, animated);
}

std::shared_ptr<NavigationItem> navigationItemOf(ViewController& controller) {
    if (auto item = controller.navigationItemIfLoaded()) return item;
    auto item = std::make_shared<NavigationItem>();
    item->controller_ = controller.weak_from_this();
    controller.setNavigationItem(item);
    return item;
}

// ---- The bar --------------------------------------------------------------------------------

std::shared_ptr<NavigationBar> NavigationBar::create(Rect frame) { return std::make_shared<NavigationBar>(frame); }

NavigationBar::NavigationBar(Rect frame) : View(frame) {
    if (frame.height == 0 && frame.width == 0) setFrame({frame.x, frame.y, 0, kHeight});
}

std::shared_ptr<NavigationItem> NavigationBar::backItem() const {
    return items_.size() < 2 ? nullptr : items_[items_.size() - 2];
}

bool NavigationBar::accepts(const std::vector<std::shared_ptr<NavigationItem>>& items) const {
    std::set<const NavigationItem*> seen;
    for (const auto& item : items) {
        if (!item || !seen.insert(item.get()).second) return false;
        auto bar = item->bar_.lock();
        if (bar && bar.get() != this) return false;
    }
    return true;
}

bool NavigationBar::setItems(std::vector<std::shared_ptr<NavigationItem>> items, bool) {
    if (!accepts(items)) return false;
    for (const auto& old : items_) old->bar_.reset();
    items_ = std::move(items);
    auto self = std::dynamic_pointer_cast<NavigationBar>(weak_from_this().lock());
    for (const auto& item : items_) item->bar_ = self;
    rebuild();
    return true;
}

bool NavigationBar::pushNavigationItem(std::shared_ptr<NavigationItem> item, bool) {
    if (!item || item->bar_.lock() || std::find(items_.begin(), items_.end(), item) != items_.end()) return false;
    item->bar_ = std::dynamic_pointer_cast<NavigationBar>(weak_from_this().lock());
    items_.push_back(std::move(item));
    rebuild();
    return true;
}

std::shared_ptr<NavigationItem> NavigationBar::popNavigationItemAnimated(bool) {
    if (items_.empty()) return nullptr;
    auto item = items_.back();
    items_.pop_back();
    item->bar_.reset();
    rebuild();
    return item;
}

void NavigationBar::setTitleTextAttributes(BarTextAttributes attributes) {
    titleAttributes_ = std::move(attributes);
    rebuild();
}

void NavigationBar::backTapped() {
    auto top = topItem();
    if (!top || !backItem()) return;
    const auto self = weak_from_this().lock();  // the owner may let the bar go from shouldPopItem
    if (shouldPopItem && !shouldPopItem(*this, *top)) return;
    popNavigationItemAnimated(true);
}

std::shared_ptr<View> NavigationBar::makeItemView(const std::shared_ptr<BarButtonItem>& item) {
    if (item->customView_) return item->customView_;
    if (isSpace(*item)) {
        auto space = View::create({0, 0, item->width_, kHeight});
        space->setUserInteractionEnabled(false);
        return space;
    }
    auto button = Button::create(ButtonType::System);
    if (item->image_) button->setImage(item->image_);
    else button->setTitle(item->displayedTitle());
    const BarTextAttributes normal = item->titleTextAttributesForState(ControlStateNormal);
    const BarTextAttributes disabled = item->titleTextAttributesForState(ControlStateDisabled);
    Font font = Font::systemFont(kItemFontSize, item->style_ == BarButtonItemStyle::Done ? FontWeight::Semibold
                                                                                         : FontWeight::Regular);
    button->titleLabel()->setFont(normal.font.value_or(font));
    if (normal.color) button->setTitleColor(normal.color);
    else if (item->tint_) button->setTitleColor(item->tint_);
    button->setTitleColor(item->attributes_.count(ControlStateDisabled) && disabled.color ? *disabled.color : kDisabledItemColor,
                          ControlStateDisabled);
    button->setEnabled(item->enabled_);
    button->setTag(item->tag_);
    std::weak_ptr<BarButtonItem> weakItem = item;
    button->addTarget(
        [weakItem](Control&) {
            if (auto target = weakItem.lock()) target->perform();
        },
        ControlEventTouchUpInside);
    return button;
}

void NavigationBar::rebuild() {
    for (auto* list : {&left_, &right_})
        for (const auto& shown : *list) shown.view->removeFromSuperview();
    left_.clear();
    right_.clear();
    if (titleLabel_) titleLabel_->removeFromSuperview();
    if (titleView_) titleView_->removeFromSuperview();
    if (backButton_) backButton_->removeFromSuperview();
    titleLabel_.reset();
    titleView_.reset();
    backButton_.reset();

    auto self = std::dynamic_pointer_cast<NavigationBar>(weak_from_this().lock());
    auto top = topItem();
    if (!top || !self) {
        setNeedsLayout();
        return;
    }
    // Items on earlier levels keep their link to the bar, but only the top one is shown.
    if (auto back = backItem(); back && !top->hidesBack_ && (top->left_.empty() || top->supplementBack_)) {
        std::string title = "Back";
        if (back->backItem_ && !back->backItem_->displayedTitle().empty()) title = back->backItem_->displayedTitle();
        else if (back->backTitle_) title = *back->backTitle_;
        else if (!back->title().empty()) title = back->title();
        backButton_ = Button::create(ButtonType::System);
        backButton_->setTitle("\u2039 " + title);
        backButton_->titleLabel()->setFont(Font::systemFont(kItemFontSize));
        std::weak_ptr<NavigationBar> weakBar = self;
        backButton_->addTarget(
            [weakBar](Control&) {
                if (auto bar = weakBar.lock()) bar->backTapped();
            },
            ControlEventTouchUpInside);
        addSubview(backButton_);
    }
    for (const auto& item : top->left_) {
        item->bar_ = self;
        left_.push_back({item, makeItemView(item)});
        addSubview(left_.back().view);
    }
    for (const auto& item : top->right_) {
        item->bar_ = self;
        right_.push_back({item, makeItemView(item)});
        addSubview(right_.back().view);
    }
    if (top->titleView_) {
        titleView_ = top->titleView_;
        addSubview(titleView_);
    } else {
        titleLabel_ = std::make_shared<Label>();
        titleLabel_->setText(top->title());
        titleLabel_->setFont(titleAttributes_.font.value_or(Font::systemFont(kTitleFontSize, FontWeight::Semibold)));
        titleLabel_->setTextColor(titleAttributes_.color.value_or(Color::black()));
        titleLabel_->setTextAlignment(TextAlignment::Center);
        addSubview(titleLabel_);
    }
    setNeedsLayout();
}

std::shared_ptr<View> NavigationBar::viewForItem(const BarButtonItem& item) const {
    for (const auto* list : {&left_, &right_})
        for (const auto& shown : *list)
            if (shown.item.lock().get() == &item) return shown.view;
    return nullptr;
}

Size NavigationBar::sizeThatFits(Size size) const { return {std::isfinite(size.width) ? size.width : 0, kHeight}; }

void NavigationBar::layoutSubviews() {
    const Rect b = bounds();
    // A view's width at the side: a custom view keeps its own, a button takes what its
    // content needs (or the item's fixed width).
    auto sideSize = [](const Shown& shown) {
        const Size own = shown.view->frame().size();
        auto item = shown.item.lock();
        if (item && item->customView()) return own;
        const Size fits = shown.view->sizeThatFits({0, 0});
        const double width = item && item->width() > 0 ? item->width() : fits.width;
        return Size{width, kHeight};
    };
    double left = b.x + kMargin;
    if (backButton_) {
        const Size s = backButton_->sizeThatFits({0, 0});
        backButton_->setFrame({left, b.y + (b.height - kHeight) / 2, s.width, kHeight});
        left += s.width + kSpacing;
    }
    for (const auto& shown : left_) {
        const Size s = sideSize(shown);
        shown.view->setFrame({left, b.y + (b.height - s.height) / 2, s.width, s.height});
        left += s.width + kSpacing;
    }
    double right = b.maxX() - kMargin;
    for (const auto& shown : right_) {
        const Size s = sideSize(shown);
        right -= s.width;
        shown.view->setFrame({right, b.y + (b.height - s.height) / 2, s.width, s.height});
        right -= kSpacing;
    }
    // The title is centred on the bar when it fits between the items, else moved (and cut
    // short) to stay clear of them.
    std::shared_ptr<View> title = titleView_ ? titleView_ : std::static_pointer_cast<View>(titleLabel_);
    if (!title) return;
    Size size = titleView_ ? titleView_->frame().size() : titleLabel_->intrinsicContentSize();
    if (titleView_ && size.width == 0 && size.height == 0) {
        const Size fits = titleView_->intrinsicContentSize();
        size = {std::max(0.0, fits.width), std::max(0.0, fits.height)};
    }
    const double start = left, end = std::max(left, right);
    size.width = std::min(size.width, end - start);
    size.height = std::min(size.height, b.height);
    double x = b.midX() - size.width / 2;
    x = std::clamp(x, start, end - size.width);
    title->setFrame({x, b.y + (b.height - size.height) / 2, size.width, size.height});
}

void NavigationBar::drawContent(Canvas& canvas, const Rect& bounds, double) const {
    if (backgroundImage_) canvas.drawImage(*backgroundImage_, bounds, ContentMode::ScaleToFill);
    else canvas.fillRect(bounds, barTint_.value_or(Color::white(0.97, translucent_ ? 0.94 : 1)));
    // The hairline under the bar.
    canvas.fillRect({bounds.x, bounds.maxY() - 0.5, bounds.width, 0.5}, Color::white(0, 0.3));
}

}  // namespace qm::platform
