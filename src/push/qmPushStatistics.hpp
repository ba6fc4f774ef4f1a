// Names shared by push statistics, click handling and the extension's entry.
#pragma once

#include <cstddef>

#include "quelmar/value.hpp"

namespace qm::push {

// The call-to-action value that means "no click" (a view): no clickType is sent.
inline constexpr long kNoClickType = 5000;

// The pushes the extension received (app-group suite): [{"qmPushNID", "qmReceivedTime"}],
// one per push, the newest last.
inline constexpr const char* kReceivedPushListKey = "qm_receivedPushNotificationIds";
// "qmReceivedTime", in the device's time zone.
inline constexpr const char* kReceivedTimeFormat = "dd-MM-yyyy HH:mm";
// Start-up keeps the pushes received within the last 28 days.
inline constexpr double kReceivedPushKeptSeconds = 28 * 86400.0;
// The most entries the list holds; the oldest go first. Far more than a device receives in
// the kept period, it bounds what a flood of pushes between two start-ups can store.
inline constexpr std::size_t kReceivedPushListLimit = 1000;
// The longest notification id the list records. The service's ids are short; a longer one
// would be read and written again with every change to the app-group suite (the badge count
// of each arriving push among them), and with the entry limit the list stays within a few
// hundred kilobytes.
inline constexpr std::size_t kReceivedPushIDMaxLength = 256;

// An id or address of a payload's "qm_data" as text: texts as they are, numbers formatted. A
// list or dictionary is no id: its description grows with the square of its nesting (a
// payload of a few hundred bytes would become a megabyte sent with every report), so it reads
// as empty text.
inline Value payloadText(const Value& value) {
    return value.isArray() || value.isDictionary() ? Value("") : Value(value.description());
}

}  // namespace qm::push
