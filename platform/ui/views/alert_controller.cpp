#include "qmui/alert_controller.hpp"

#include <algorithm>
#include <cmath>

#include "qmplatform/screen.hpp"
#include "qmplatform/system_log.hpp"
#include "qmui/gesture.hpp"
#include "qmui/label.hpp"
#include "qmui/text.hpp"

namespace qm::platform {

namespace {

constexpr double kAlertWidth = 270;
constexpr double kAlertButtonHeight = 44;
constexpr double kSheetButtonHeight = 57;
constexpr double kSheetMaxWidth = 400;
constexpr double kCornerRadius = 13;
constexpr double kMargin = 8;       // around an action sheet's cards, and between them
constexpr double kLine = 0.5;       // separators between buttons
constexpr double kSideBySideInset = 8;
const Color kCardColor = Color::white(0.97);
const Color kSeparatorColor = Color::white(0, 0.2);
const Color kDestructiveColor = Color::rgba(1, 59.0 / 255, 48.0 / 255);
const Color kSheetHeaderColor = Color::white(0.56);

}  // namespace

// ---- Actions --------------------------------------------------------------------------------

std::shared_ptr<AlertAction> AlertAction::actionWithTitle(std::string title, AlertActionStyle style, Handler handler) {
    return std::make_shared<AlertAction>(std::move(title), style, std::move(handler));
}

AlertAction::AlertAction(std::string title, AlertActionStyle style, Handler handler)
    : title_(std::move(title)), style_(style), handler_(std::move(handler)) {}

void AlertAction::setEnabled(bool enabled) {
    enabled_ = enabled;
    if (auto alert = controller_.lock()) alert->refreshButtons();
}

// ---- The view -------------------------------------------------------------------------------

// The dimmed screen with the alert's cards, laid out by hand from the controller's content
// each time it lays out.
class AlertView final : public View {
public:
    explicit AlertView(Rect frame) : View(frame) {}
    std::weak_ptr<AlertController> controller;

    struct Shown {
        std::shared_ptr<AlertAction> action;
        std::shared_ptr<Button> button;
    };
    std::vector<Shown> buttons;
    std::shared_ptr<View> card, cancelCard;
    std::shared_ptr<Label> titleLabel, messageLabel;
    std::vector<std::shared_ptr<View>> separators;
    std::size_t usedSeparators = 0;

    std::shared_ptr<Button> buttonFor(const AlertAction& action) const {
        for (const auto& shown : buttons)
            if (shown.action.get() == &action) return shown.button;
        return nullptr;
    }

    void layoutSubviews() override {
        auto alert = controller.lock();
        if (!alert) return;
        sync(*alert);
        if (alert->preferredStyle() == AlertControllerStyle::Alert) layoutAlert(*alert);
        else layoutSheet();
        endSeparators();
    }

    void refreshButtons(const AlertController& alert) {
        for (const auto& shown : buttons) styleButton(alert, *shown.action, *shown.button);
    }

private:
    bool isSheet(const AlertController& alert) const { return alert.preferredStyle() == AlertControllerStyle::ActionSheet; }

    Font buttonFont(const AlertController& alert, const AlertAction& action) const {
        const bool bold = alert.preferredAction() ? alert.preferredAction().get() == &action
                                                  : action.style() == AlertActionStyle::Cancel;
        return Font::systemFont(isSheet(alert) ? 20 : 17, bold ? FontWeight::Semibold : FontWeight::Regular);
    }

    void styleButton(const AlertController& alert, const AlertAction& action, Button& button) const {
        button.titleLabel()->setFont(buttonFont(alert, action));
        button.setTitleColor(action.style() == AlertActionStyle::Destructive ? std::optional(kDestructiveColor) : std::nullopt);
        button.setEnabled(action.isEnabled());
    }

    // Makes the cards, labels and buttons again when the actions or their order changed.
    void sync(AlertController& alert) {
        const auto order = alert.displayedActions();
        bool same = order.size() == buttons.size();
        for (std::size_t i = 0; same && i < order.size(); ++i) same = order[i] == buttons[i].action;
        if (!card) {
            card = View::create();
            card->setBackgroundColor(kCardColor);
            card->setCornerRadius(kCornerRadius);
            card->setClipsToBounds(true);
            addSubview(card);
            titleLabel = std::make_shared<Label>();
            messageLabel = std::make_shared<Label>();
            for (const auto& label : {titleLabel, messageLabel}) {
                label->setNumberOfLines(0);
                label->setLineBreakMode(LineBreakMode::WordWrap);
                label->setTextAlignment(TextAlignment::Center);
                card->addSubview(label);
            }
        }
        const bool sheet = isSheet(alert);
        titleLabel->setText(alert.title());
        titleLabel->setFont(Font::systemFont(sheet ? 13 : 17, FontWeight::Semibold));
        titleLabel->setTextColor(sheet ? kSheetHeaderColor : Color::black());
        messageLabel->setText(alert.message().value_or(std::string()));
        messageLabel->setFont(Font::systemFont(13));
        messageLabel->setTextColor(sheet ? kSheetHeaderColor : Color::black());
        if (same) {
            refreshButtons(alert);
            return;
        }
        for (const auto& shown : buttons) shown.button->removeFromSuperview();
        buttons.clear();
        if (cancelCard) cancelCard->removeFromSuperview();
        cancelCard.reset();
        std::weak_ptr<AlertController> weakAlert = controller;
        for (const auto& action : order) {
            auto button = Button::create(ButtonType::System);
            button->setTitle(action->title());
            std::weak_ptr<AlertAction> weakAction = action;
            button->addTarget(
                [weakAlert, weakAction](Control&) {
                    auto target = weakAlert.lock();
                    auto chosen = weakAction.lock();
                    if (target && chosen) target->actionTapped(chosen);
                },
                ControlEventTouchUpInside);
            styleButton(alert, *action, *button);
            const bool ownCard = sheet && action->style() == AlertActionStyle::Cancel;
            if (ownCard) {
                cancelCard = View::create();
                cancelCard->setBackgroundColor(Color::whiteColor());
                cancelCard->setCornerRadius(kCornerRadius);
                cancelCard->setClipsToBounds(true);
                addSubview(cancelCard);
                cancelCard->addSubview(button);
            } else {
                card->addSubview(button);
            }
            buttons.push_back({action, button});
        }
    }

    // The next separator line in the card (made once, moved on later layouts so that laying
    // out again settles).
    void separator(Rect frame) {
        if (usedSeparators == separators.size()) {
            auto line = View::create();
            line->setBackgroundColor(kSeparatorColor);
            line->setUserInteractionEnabled(false);
            card->addSubview(line);
            separators.push_back(line);
        }
        separators[usedSeparators++]->setFrame(frame);
    }

    void beginSeparators() { usedSeparators = 0; }
    void endSeparators() {
        while (separators.size() > usedSeparators) {
            separators.back()->removeFromSuperview();
            separators.pop_back();
        }
    }

    // Title and message from the top of the card at `width`; returns the height they take.
    double layoutHeader(double width, double top, double sides, double gap, double bottom) {
        double y = top;
        bool any = false;
        for (const auto& label : {titleLabel, messageLabel}) {
            if (label->text().empty()) {
                label->setHidden(true);
                continue;
            }
            label->setHidden(false);
            if (any) y += gap;
            const Size size = label->sizeThatFits({width - 2 * sides, 0});
            label->setFrame({sides, y, width - 2 * sides, size.height});
            y += size.height;
            any = true;
        }
        return any ? y + bottom : 0;
    }

    void layoutAlert(AlertController& alert) {
        beginSeparators();
        const Rect b = bounds();
        const double width = std::min(kAlertWidth, std::max(0.0, b.width - 2 * kMargin));
        double y = layoutHeader(width, 20, 16, 4, 20);
        if (alert.showsActionsSideBySide() && buttons.size() == 2) {
            separator({0, y, width, kLine});
            const double half = width / 2;
            buttons[0].button->setFrame({0, y + kLine, half, kAlertButtonHeight});
            buttons[1].button->setFrame({half, y + kLine, width - half, kAlertButtonHeight});
            separator({half - kLine / 2, y + kLine, kLine, kAlertButtonHeight});
            y += kLine + kAlertButtonHeight;
        } else {
            for (const auto& shown : buttons) {
                if (y > 0) {
                    separator({0, y, width, kLine});
                    y += kLine;
                }
                shown.button->setFrame({0, y, width, kAlertButtonHeight});
                y += kAlertButtonHeight;
            }
        }
        // A card taller than the screen is cut off (it clips to its bounds).
        const double height = std::min(y, std::max(0.0, b.height - 2 * kMargin));
        card->setFrame({b.midX() - width / 2, b.midY() - height / 2, width, height});
    }

    void layoutSheet() {
        beginSeparators();
        const Rect b = bounds();
        const double width = std::min(kSheetMaxWidth, std::max(0.0, b.width - 2 * kMargin));
        const double x = b.midX() - width / 2;
        double y = layoutHeader(width, 14, 16, 4, 14);
        std::shared_ptr<Button> cancel;
        for (const auto& shown : buttons) {
            if (shown.button->superview() == cancelCard && cancelCard) {
                cancel = shown.button;
                continue;
            }
            if (y > 0) {
                separator({0, y, width, kLine});
                y += kLine;
            }
            shown.button->setFrame({0, y, width, kSheetButtonHeight});
            y += kSheetButtonHeight;
        }
        double bottom = b.maxY() - kMargin - safeAreaInsets().bottom;
        if (cancel) {
            cancelCard->setFrame({x, bottom - kSheetButtonHeight, width, kSheetButtonHeight});
            cancel->setFrame({0, 0, width, kSheetButtonHeight});
            bottom -= kSheetButtonHeight + kMargin;
        }
        const double height = std::min(y, std::max(0.0, bottom - b.y - kMargin));
        card->setHidden(height <= 0);
        card->setFrame({x, bottom - height, width, height});
    }
};

// ---- The controller -------------------------------------------------------------------------

std::shared_ptr<AlertController> AlertController::alertControllerWithTitle(std::optional<std::string> title,
                                                                           std::optional<std::string> message,
                                                                           AlertControllerStyle preferredStyle) {
    return std::make_shared<AlertController>(std::move(title), std::move(message), preferredStyle);
}

AlertController::AlertController(std::optional<std::string> title, std::optional<std::string> message,
                                 AlertControllerStyle style)
    : ViewController("UIAlertController"), style_(style), message_(std::move(message)) {
    if (title) setTitle(std::move(*title));
    setModalPresentationStyle(ModalPresentationStyle::Custom);
}

void AlertController::setMessage(std::optional<std::string> message) {
    message_ = std::move(message);
    if (auto view = viewIfLoaded()) view->setNeedsLayout();
}

bool AlertController::addAction(std::shared_ptr<AlertAction> action) {
    if (!action) return false;
    if (!action->controller_.expired() || std::find(actions_.begin(), actions_.end(), action) != actions_.end()) {
        SystemLog::write("quelmar: an alert action can be added to one alert only; refused");
        return false;
    }
    if (action->style() == AlertActionStyle::Cancel &&
        std::any_of(actions_.begin(), actions_.end(),
                    [](const auto& a) { return a->style() == AlertActionStyle::Cancel; })) {
        SystemLog::write("quelmar: an alert can have one cancel action only; refused");
        return false;
    }
    action->controller_ = std::static_pointer_cast<AlertController>(weak_from_this().lock());
    actions_.push_back(std::move(action));
    if (auto view = viewIfLoaded()) view->setNeedsLayout();
    return true;
}

bool AlertController::setPreferredAction(std::shared_ptr<AlertAction> action) {
    if (action && std::find(actions_.begin(), actions_.end(), action) == actions_.end()) {
        SystemLog::write("quelmar: an alert's preferred action must be one of its actions; refused");
        return false;
    }
    preferred_ = std::move(action);
    refreshButtons();
    return true;
}

bool AlertController::showsActionsSideBySide() const {
    if (style_ != AlertControllerStyle::Alert || actions_.size() != 2) return false;
    const double room = kAlertWidth / 2 - 2 * kSideBySideInset;
    for (const auto& action : actions_)
        if (measureText(action->title(), Font::systemFont(17, FontWeight::Semibold), 0, 1).size.width > room) return false;
    return true;
}

std::vector<std::shared_ptr<AlertAction>> AlertController::displayedActions() const {
    std::vector<std::shared_ptr<AlertAction>> order;
    std::shared_ptr<AlertAction> cancel;
    for (const auto& action : actions_) {
        if (action->style() == AlertActionStyle::Cancel) cancel = action;
        else order.push_back(action);
    }
    if (cancel) {
        if (showsActionsSideBySide()) order.insert(order.begin(), cancel);
        else order.push_back(cancel);
    }
    return order;
}

std::shared_ptr<Button> AlertController::buttonForAction(const AlertAction& action) const {
    auto view = std::dynamic_pointer_cast<AlertView>(viewIfLoaded());
    if (!view) return nullptr;
    view->layoutIfNeeded();
    return view->buttonFor(action);
}

std::shared_ptr<View> AlertController::cardView() const {
    auto view = std::dynamic_pointer_cast<AlertView>(viewIfLoaded());
    if (!view) return nullptr;
    view->layoutIfNeeded();
    return view->card;
}

void AlertController::loadView() {
    auto view = std::make_shared<AlertView>(Screen::main().bounds());
    view->controller = std::static_pointer_cast<AlertController>(weak_from_this().lock());
    view->setBackgroundColor(Color::white(0, style_ == AlertControllerStyle::Alert ? 0.2 : 0.4));
    setView(view);
}

void AlertController::refreshButtons() {
    auto view = std::dynamic_pointer_cast<AlertView>(viewIfLoaded());
    if (view) view->refreshButtons(*this);
}

void AlertController::actionTapped(const std::shared_ptr<AlertAction>& action) {
    if (chosen_ || !action->isEnabled()) return;
    chosen_ = true;
    std::weak_ptr<AlertController> weakSelf = std::static_pointer_cast<AlertController>(weak_from_this().lock());
    // The handler runs once the alert is gone. Then the alert is finished: its handlers are
    // dropped, so that one holding the alert does not keep it alive for ever.
    dismissViewControllerAnimated(true, [weakSelf, action, handler = action->handler_] {
        if (handler) handler(*action);
        if (auto alert = weakSelf.lock())
            for (const auto& a : alert->actions_) a->handler_ = {};
    });
}

bool tapAlertAction(AlertController& alert, std::string_view title) {
    auto root = viewOf(alert);
    root->layoutIfNeeded();
    for (const auto& action : alert.actions()) {
        if (action->title() != title || !action->isEnabled()) continue;
        auto button = alert.buttonForAction(*action);
        if (!button || button->isHidden()) continue;
        const Point point = button->convertPointTo(button->bounds().center(), root.get());
        return tap(*root, point);
    }
    return false;
}

}  // namespace qm::platform
