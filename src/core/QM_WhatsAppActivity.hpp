// Sharing a text through WhatsApp from the share sheet.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "qmplatform/view_controller.hpp"
#include "quelmar/value.hpp"

namespace qm {

// The text to share and the notification it came from. The address-book id is never kept:
// the message's qm_abid stays nothing whatever the caller passes.
class QM_WhatsAppMessage : public platform::Object {
public:
    QM_WhatsAppMessage(const Value& message, const Value& abid, const Value& notificationID);

    Value qm_text;
    Value qm_abid;
    Value NotificationID;
};

class QM_WhatsAppActivity : public platform::Activity {
public:
    static constexpr const char* kActivityType = "io.quelmar.sdk.activity.whatsapp";

    std::string activityType() const override { return kActivityType; }
    std::string activityTitle() const override { return "WhatsApp"; }
    // The "whatsappactivity" image of the app's bundle, when it has one.
    std::optional<std::string> activityImage() const override;
    // Holds the first WhatsApp message among the items; YES when its URL can be opened.
    bool canPerformWithActivityItems(const platform::ActivityItems& items) override;
    // Opens the first WhatsApp message's URL.
    void prepareWithActivityItems(const platform::ActivityItems& items) override;

    // "whatsapp://send?text=<text, percent-encoded>", or "whatsapp://" for a message without text.
    static std::string getURLFromMessage(const QM_WhatsAppMessage& message);

    std::shared_ptr<QM_WhatsAppMessage> message;
};

}  // namespace qm
