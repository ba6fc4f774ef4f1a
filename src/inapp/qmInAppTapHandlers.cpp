#include "inapp/qmInAppTapHandlers.hpp"

#include "core/QMLogger.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "inapp/qmInAppPresentation.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmbase/no_destructor.hpp"
#include "qmplatform/pasteboard.hpp"

namespace qm::inapp {

std::shared_ptr<qmInAppTapHandler> qmInAppTapHandler::shared() {
    static NoDestructor<std::shared_ptr<qmInAppTapHandler>> handler(std::make_shared<qmInAppTapHandler>());
    return *handler;
}

void qmInAppTapHandler::qmInAppPopupFirstCTAButtonAction(const std::string& id, long dismiss) {
    handle(id, dismiss, false, false);
}
void qmInAppTapHandler::qmInAppPopupSecondCTAButtonAction(const std::string& id, long dismiss) {
    handle(id, dismiss, true, false);
}
void qmInAppTapHandler::qmInAppPopupImageViewAction(const std::string& id, long dismiss) { handle(id, dismiss, false, true); }

void qmInAppTapHandler::handle(const std::string& id, long dismissValue, bool second, bool image) {
    auto engine = qmInternalProcessClass::sharedInstance();
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    engine->qmSetVaidationForPopupsButtonsClickforClickType(1, Value(id));
    const Value clickedKey("qm_isClickedNID" + id);
    statsClickAction_ = prefs.qmBoolForKey(clickedKey, QMStore::Library) ? "click" : "uniqueClick";
    prefs.qmSetBOOL(true, clickedKey, QMStore::Library);

    const Value stored = QMRuntime::shared().qmStoreData()->read_qm_notifications_bID_Data();
    Value campaign;
    for (const Value& record : stored["notifications"].arrayItems()) {
        if (record["notificationID"].description() == id) {
            campaign = record;
            break;
        }
    }
    if (!campaign) {
        // The campaign is gone from the stored list: nothing to report or run, but the host
        // app still hears of the click.
        engine->qmCallBackDataForInAppBannerWithEventName("Banner Clicked", "InApp Banner clicked", Value::dictionary(),
                                                          Value(15), "banner");
        return;
    }
    const std::string suffix = second ? "Two" : "";
    Value parameters = Value::dictionary();
    for (const Value& parameter : campaign["actionParams" + suffix].arrayItems()) {
        if (parameter.isDictionary() && parameter.contains("k")) parameters.set(parameter["k"].description(), parameter["v"]);
    }
    const Value& extra = campaign["actionExtra" + suffix];
    const Value copy = extra.isDictionary() ? extra["copy"] : Value();
    if (isValidString(copy)) {
        platform::Pasteboard::general().setString(copy.description());
        QMLog(QMLogLevelInfo, "Message has been copied to clipboard");
        if (image) QMLog(QMLogLevelInfo, "Coupon code copied!");
    } else {
        QMLog(QMLogLevelInfo, "There is no coupon code to copy.");
    }
    engine->qmInAppStatisticsWithNotificationID(Value(id), Value(statsClickAction_), engine->qmAppVcName.get(),
                                                campaign["template"]);

    const long target = static_cast<long>(campaign["actionTarget" + suffix].integerValue());
    Value destination = campaign["actionUrl" + suffix];
    const long callToAction = second ? 2 : 1;
    const Value attributes = engine->qmAttributesDictForInAppBannerActivityEventsCallbackWithNotificationID(
        Value(id), true, callToAction, target, destination, parameters);
    if (target >= 0 && target <= 4) act(id, dismissValue, campaign, target, destination, parameters, callToAction);
    engine->qmCallBackDataForInAppBannerWithEventName("Banner Clicked", "InApp Banner clicked", attributes, Value(15),
                                                      "banner");
}

void qmInAppTapHandler::act(const std::string& id, long dismissValue, const Value& campaign, long target,
                            Value destination, const Value& parameters, long callToAction) {
    auto engine = qmInternalProcessClass::sharedInstance();
    if (target == 1 && isValidString(destination)) {
        const std::string url = destination.description();
        if (!url.starts_with("http://") && !url.starts_with("https://")) destination = Value("https://" + url);
    }
    // A campaign that stays after a share ("dismiss" 0) comes back once the share is done, as
    // it was shown and without counting another display.
    std::function<void()> showAgain;
    if (target == QMActionTargetShare && dismissValue == 0) {
        showAgain = [id] {
            platform::Queue::main().async([id] {
                const Value record = qmLastShownCampaignRecord(id);
                if (record.count() > 0) qmBuildCampaignView(static_cast<long>(record["template"].integerValue()), record, false);
            });
        };
    }
    engine->performActionWithTarget(target, destination, campaign["actionItune"], Value(id), parameters, Value(""),
                                    callToAction, Value("banner"), std::move(showAgain));
}

}  // namespace qm::inapp
