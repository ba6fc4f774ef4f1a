#include "core/QM_WhatsAppActivity.hpp"

#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/url.hpp"

namespace qm {
namespace {

std::shared_ptr<QM_WhatsAppMessage> firstMessage(const platform::ActivityItems& items) {
    for (const auto& item : items) {
        if (auto found = item.as<QM_WhatsAppMessage>()) return found;
    }
    return nullptr;
}

}  // namespace

QM_WhatsAppMessage::QM_WhatsAppMessage(const Value& message, const Value& /*abid*/, const Value& notificationID)
    : qm_text(isValidString(message) ? Value(message.description()) : Value()),
      NotificationID(isValidString(notificationID) ? Value(notificationID.description()) : Value()) {}

std::string QM_WhatsAppActivity::getURLFromMessage(const QM_WhatsAppMessage& message) {
    if (!message.qm_text) return "whatsapp://";
    // The text is encoded so that any text makes a URL the platform accepts.
    std::string url = format("%@send?text=%@", "whatsapp://", platform::percentEncodeUnreserved(message.qm_text.string()));
    if (message.qm_abid) url += "&abid=" + platform::percentEncodeUnreserved(message.qm_abid.description());
    return url;
}

std::optional<std::string> QM_WhatsAppActivity::activityImage() const {
    return platform::Bundle::main().pathForResource("whatsappactivity", "png");
}

// Main thread, while the share sheet decides what to offer.
bool QM_WhatsAppActivity::canPerformWithActivityItems(const platform::ActivityItems& items) {
    auto found = firstMessage(items);
    if (!found) return false;
    message = found;
    return platform::Application::shared().canOpenURL(getURLFromMessage(*found));
}

void QM_WhatsAppActivity::prepareWithActivityItems(const platform::ActivityItems& items) {
    auto found = firstMessage(items);
    if (!found) return;
    qmInternalProcessClass::sharedInstance()->qmNavigateToWebForUrl(platform::URL::parse(getURLFromMessage(*found)), nullptr);
}

}  // namespace qm
