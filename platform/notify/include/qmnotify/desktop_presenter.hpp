// Shows the user-notification center's notifications on the Linux desktop through libnotify,
// for hosts that want to see them:
//
//     if (auto desktop = qm::platform::notify::desktopPresenter("My App"))
//         qm::platform::UserNotificationCenter::current().setPresenter(desktop);
//
// Tests and CI keep the center's recording presenter.
#pragma once

#include <memory>
#include <string>

#include "qmplatform/user_notifications.hpp"

namespace qm::platform::notify {

// Null (with a log line) when there is no session bus to talk to or libnotify cannot start.
// The title is the summary; subtitle and body make the text; an image attachment is the icon.
// Notifications the center withdraws are closed. Safe from any thread.
std::shared_ptr<NotificationPresenter> desktopPresenter(const std::string& applicationName);

}  // namespace qm::platform::notify
