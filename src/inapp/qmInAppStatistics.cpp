// In-app statistics and the host's callbacks: every tracked display and every click of a
// campaign is reported to the service's statistics endpoint and handed to the host app through
// the facade's event callback; and dismissing every campaign on screen at once.
#include <memory>
#include <string>
#include <vector>

#include "core/QMFormFields.hpp"
#include "core/QMLogger.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKNetworkManager.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "inapp/qmInAppPopupView.hpp"
#include "inapp/qmInAppSurveyModal.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"
#include "qmui/view.hpp"
#include "quelmar/quelmar.hpp"

namespace qm {

void qmInternalProcessClass::qmInAppStatisticsWithNotificationID(const Value& notificationID, const Value& action,
                                                                 const Value& pageUrl, const Value& templateID) {
    // What the request needs from preferences and the device is read here, on the caller's
    // thread; the request itself is built and sent from a global queue.
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    const Value userAgent = prefs.qmObjectForKey("qm_secretAgent", QMStore::Library);
    Value userID = prefs.qmObjectForKey("qm_userID", QMStore::Library);
    if (userID) userID = Value(userID.description());
    Value appVersion = prefs.qmObjectForKey("qm_appVersion", QMStore::Library);
    if (!isValidString(appVersion)) appVersion = platform::Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString");
    const double systemVersion =
        static_cast<double>(static_cast<float>(Value(platform::Device::current().systemVersion()).doubleValue()));

    auto self = shared_from_this();
    platform::Group group;
    group.async(platform::Queue::global(), [self, notificationID, action, pageUrl, templateID, userAgent, userID,
                                            appVersion, systemVersion] {
        std::string params = self->qmGetDefaultPostParamsWithDeviceIDType(0, 0);
        params += qmFormField("notificationID", notificationID);
        params += qmFormField("action", action);
        params += qmFormField("pageUrl", pageUrl);
        params += qmFormField("template", templateID);
        params += format("&os_version=%f", systemVersion);
        if (isValidString(userID)) params += qmFormField("userID", userID);
        if (isValidString(appVersion)) params += qmFormField("app_version", appVersion);

        self->qmHitAPIWithPOSTRequestforUrlString(
            Value(QMSDKNetworkManager::sharedInstance().qmRecordInAppBannerSurveyStatisticsApiURLString()), userAgent,
            Value(params), 1,
            // Main queue.
            [](const Value& answer) {
                if (answer.count() == 0) return;
                auto store = QMRuntime::shared().qmStoreData();
                if (!store) return;
                store->clear_qm_notification_StatisticsData();
                if (answer["Authentication"].description() == "success") {
                    store->write_qm_Statistics(answer);
                } else {
                    QMLog(QMLogLevelError, "Invalid authentication for InAppBanner/Survey statistics");
                }
            },
            // Main queue, before the completion.
            [](const std::optional<platform::Error>& error) {
                if (!error) return;
                const Value description(error->description());
                if (!isValidString(description)) return;
                QMLog(QMLogLevelError,
                      "An error has occurred while requesting InApp Banner/Survey notification statistics. Error "
                      "description: %@",
                      description);
            });
    });
}

void qmInternalProcessClass::qmTriggerInAppBannerImpressionCallbacktoDelegateWithNotificationID(
    const Value& notificationID) {
    const Value attributes = qmAttributesDictForInAppBannerActivityEventsCallbackWithNotificationID(
        notificationID, false, 0, 0, Value(), Value());
    qmCallBackDataForInAppBannerWithEventName("Banner Impression", "InApp Banner Shown", attributes, Value(15.2),
                                              "banner");
}

void qmInternalProcessClass::qmCallBackDataForInAppBannerWithEventName(const Value& eventName, const Value& message,
                                                                       const Value& attributes,
                                                                       const Value& statusCode,
                                                                       const Value& callbackType) {
    if (!isValidString(eventName) || !isValidString(message)) return;
    Value record{{"status", "success"},
                 {"eventName", eventName},
                 {"message", message},
                 {"type", statusCode.isNumber() ? statusCode : Value(15)},
                 {"callbackType", callbackType}};
    if (attributes.isDictionary() && attributes.count() > 0) record.set("attributes", attributes);
    quelmar::sharedInstance().sendDataToEventsCallbackDelegate(record);
}

Value qmInternalProcessClass::qmAttributesDictForInAppBannerActivityEventsCallbackWithNotificationID(
    const Value& notificationID, bool shouldAttachCTAData, long calltoActionValue, long ctaTargetType,
    const Value& ctaActionURL, const Value& ctaParams) {
    if (!isValidString(notificationID)) return Value();
    Value attributes{{"notification_id", notificationID}};
    if (shouldAttachCTAData) {
        attributes.set("callToAction", Value(calltoActionValue));
        attributes.set("target", Value(ctaTargetType));
        if (ctaActionURL && !ctaActionURL.isNull()) attributes.set("actionURL", Value(ctaActionURL.description()));
        attributes.set("action_params", ctaParams.isDictionary() ? ctaParams : Value::dictionary());
    }
    return attributes;
}

void qmInternalProcessClass::qmDismissAllInAppNotifications() {
    if (!platform::RunLoop::main().isMainThread()) {
        auto self = shared_from_this();
        platform::Queue::main().async([self] { self->qmDismissAllInAppNotifications(); });
        return;
    }
    auto& utility = qmGetFilteredData::sharedInstance();
    // Popup views over the key window close as a close does, without anything recorded.
    if (auto window = utility.qmGetKeyWindow()) {
        if (auto root = platform::viewOf(*window)) {
            for (const auto& view : std::vector<std::shared_ptr<platform::View>>(root->subviews())) {
                if (auto popup = std::dynamic_pointer_cast<qmInAppPopupView>(view)) popup->qmInAppPopupViewCloseNow();
            }
        }
    }
    // Popup views a presented screen holds.
    if (auto top = utility.qmGetTopMostController()) {
        if (auto view = top->viewIfLoaded()) {
            for (const auto& sub : std::vector<std::shared_ptr<platform::View>>(view->subviews())) {
                if (sub->className() == "qmInAppPopupView") sub->removeFromSuperview();
            }
        }
    }
    // The survey in a modal: its page emptied, the panel and its backdrop taken away.
    inapp::qmDismissModalSurvey();
}

}  // namespace qm
