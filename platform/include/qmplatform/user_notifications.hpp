// The content of a user notification, as the notification service hands it to the app and
// to its notification-service extension.
#pragma once

#include <string>

#include "quelmar/value.hpp"

namespace qm::platform {

class NotificationContent {
public:
    virtual ~NotificationContent() = default;

    std::string title;
    std::string subtitle;
    std::string body;
    std::string categoryIdentifier;
    Value badge;     // a number, or nothing to leave the badge as it is
    Value userInfo;  // the push payload
};

// Content that an extension may change before the notification is shown; it is handed back
// through the extension's content handler as the content to show.
class MutableNotificationContent : public NotificationContent {};

}  // namespace qm::platform
