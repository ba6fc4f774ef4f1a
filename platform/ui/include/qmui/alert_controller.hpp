// Alerts and action sheets: a controller with a title, a message and actions, presented over
// another controller. Its view is a dimmed screen with a card: title and message, then one
// button per action. Tapping a button dismisses the alert through the controller that
// presented it and then runs the action's handler, as on the platform.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qmplatform/view_controller.hpp"
#include "qmui/button.hpp"

namespace qm::platform {

// The platform's values.
enum class AlertActionStyle { Default = 0, Cancel = 1, Destructive = 2 };
enum class AlertControllerStyle { ActionSheet = 0, Alert = 1 };

class AlertController;

class AlertAction {
public:
    // Runs on the main run loop once the alert has been dismissed.
    using Handler = std::function<void(AlertAction& action)>;
    static std::shared_ptr<AlertAction> actionWithTitle(std::string title, AlertActionStyle style, Handler handler = {});
    AlertAction(std::string title, AlertActionStyle style, Handler handler);
    AlertAction(const AlertAction&) = delete;
    AlertAction& operator=(const AlertAction&) = delete;

    const std::string& title() const { return title_; }
    AlertActionStyle style() const { return style_; }
    // A disabled action's button shows greyed and ignores taps.
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled);

private:
    friend class AlertController;
    std::string title_;
    AlertActionStyle style_;
    Handler handler_;
    bool enabled_ = true;
    std::weak_ptr<AlertController> controller_;  // the alert it was added to
};

class AlertController : public ViewController {
public:
    static std::shared_ptr<AlertController> alertControllerWithTitle(std::optional<std::string> title,
                                                                     std::optional<std::string> message,
                                                                     AlertControllerStyle preferredStyle);
    AlertController(std::optional<std::string> title, std::optional<std::string> message, AlertControllerStyle style);

    AlertControllerStyle preferredStyle() const { return style_; }
    const std::optional<std::string>& message() const { return message_; }
    void setMessage(std::optional<std::string> message);
    // The title is the controller's (setTitle); empty counts as none.

    // Adds an action. Refused (false, logged) for nothing, an action already added to an
    // alert, or a second cancel action — the platform stops the app for the last two.
    bool addAction(std::shared_ptr<AlertAction> action);
    const std::vector<std::shared_ptr<AlertAction>>& actions() const { return actions_; }
    // The action drawn in bold in an alert; it must be one of actions() (else refused).
    std::shared_ptr<AlertAction> preferredAction() const { return preferred_; }
    bool setPreferredAction(std::shared_ptr<AlertAction> action);

    // The actions in the order their buttons are shown. An alert with two actions whose
    // titles fit side by side shows them in a row with a cancel action on the left; otherwise
    // they are stacked, a cancel action last. An action sheet shows its cancel action last, in
    // a card of its own.
    std::vector<std::shared_ptr<AlertAction>> displayedActions() const;
    // Whether two actions are shown side by side.
    bool showsActionsSideBySide() const;
    // The button showing `action` once the view is loaded.
    std::shared_ptr<Button> buttonForAction(const AlertAction& action) const;
    // The card holding the title, message and buttons (after the view is loaded).
    std::shared_ptr<View> cardView() const;

    void loadView() override;

private:
    friend class AlertAction;
    friend class AlertView;
    // A tap on the action's button: once per alert, for enabled actions.
    void actionTapped(const std::shared_ptr<AlertAction>& action);
    void refreshButtons();

    AlertControllerStyle style_;
    std::optional<std::string> message_;
    std::vector<std::shared_ptr<AlertAction>> actions_;
    std::shared_ptr<AlertAction> preferred_;
    bool chosen_ = false;
};

// Taps the button of the alert's action titled `title` through the alert's view, as a user
// does (hit testing and gestures included): hosts driving the screen from their own input and
// tests use it. False when no enabled button has that title or the tap did nothing.
bool tapAlertAction(AlertController& alert, std::string_view title);

}  // namespace qm::platform
