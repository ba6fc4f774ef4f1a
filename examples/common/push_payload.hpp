// Push payloads for the example hosts: read from a JSON file and turned into the notification
// content the system would make of them.
#pragma once

#include <optional>
#include <string>

#include "qmplatform/user_notifications.hpp"
#include "quelmar/value.hpp"

namespace qm::examples {

// A push payload from a JSON file; nothing (after saying why on `out`) when it cannot be read.
std::optional<Value> readPayload(const std::string& file, std::ostream& out);

// The notification content of a payload: its alert's title and body (an alert given as text
// is the body), its badge, category and the payload as user info.
platform::NotificationContent contentOf(const Value& payload);

}  // namespace qm::examples
