#include "inapp/qmInAppPresentation.hpp"

#include <map>
#include <mutex>

#include "core/QMLogger.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "inapp/qmInAppCloseButton.hpp"
#include "inapp/qmInAppColors.hpp"
#include "inapp/qmInAppPopupView.hpp"
#include "inapp/qmInAppSurveyModal.hpp"
#include "inapp/qmInAppSurveyURL.hpp"
#include "inapp/qmInAppTapHandlers.hpp"
#include "qmbase/no_destructor.hpp"
#include "qmplatform/window.hpp"
#include "qmui/layout_constraint.hpp"
#include "qmui/view.hpp"

namespace qm::inapp {

namespace {

constexpr const char* kViewportHeader =
    "<header><meta name='viewport' content='width=device-width, initial-scale=1.0, maximum-scale=1.0, "
    "minimum-scale=1.0, user-scalable=no'></header>";

std::optional<std::string> title(const Value& v) {
    if (!v || v.isNull()) return std::string();
    return v.description();
}

// 0 none, 1 the second only, 2 the first only, 3 both.
long showCondition(const std::string& first, const std::string& second) {
    if (first.empty() && second.empty()) return 0;
    if (first.empty()) return 1;
    if (second.empty()) return 2;
    return 3;
}

long animationOr(const Value& record, long fallback) {
    const long id = static_cast<long>(record["animation"].integerValue());
    return id == 0 ? fallback : id;
}

struct ShownRecords {
    std::mutex mutex;
    std::map<std::string, Value, std::less<>> byID;
};
ShownRecords& shownRecords() {
    static NoDestructor<ShownRecords> records;
    return *records;
}

}  // namespace

Value qmLastShownCampaignRecord(const std::string& notificationID) {
    auto& records = shownRecords();
    std::lock_guard lock(records.mutex);
    auto it = records.byID.find(notificationID);
    return it == records.byID.end() ? Value() : it->second;
}

Value updateNullValuesInNotificationDictionary(const Value& record) {
    Value copy = record;
    for (const auto& [key, value] : record.dictionaryItems()) {
        if (value.isNull()) copy.set(key, Value(""));
    }
    return copy;
}

Value qmBeginCampaignDisplay(const Value& original, bool trackViewStates) {
    auto& utility = qmGetFilteredData::sharedInstance();
    if (!utility.shouldShowOnCurrntViewController(original)) return Value();
    const Value record = updateNullValuesInNotificationDictionary(original);
    const Value id(record["notificationID"].description());
    auto engine = qmInternalProcessClass::sharedInstance();
    {
        // Kept (as given, one per campaign) so that a campaign can be shown again as it was.
        auto& records = shownRecords();
        std::lock_guard lock(records.mutex);
        records.byID[id.description()] = original;
    }
    // A display shown again without tracking (after a share) is the same display: it is not
    // counted in this launch a second time.
    if (trackViewStates) engine->qmInAppNotificationViewLaunchCountWithNotificationID(id);
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    const Value dailyKey("qm_LaunchedNID" + id.description());
    const long long daily = prefs.qmIntegerForKey(dailyKey, QMStore::Library);
    const long templateValue = static_cast<long>(record["template"].integerValue());
    if ((templateValue >= 3 && templateValue <= 8) || templateValue == 101 || templateValue == 102) {
        qmCheckCrossBtnInPopups(record.contains("close_btn") && record["close_btn"].description() != ""
                                    ? record["close_btn"]
                                    : Value(1),
                                id);
    }
    if (trackViewStates) {
        const Value action(daily == 1 ? "uniqueView" : "view");
        engine->qmInAppStatisticsWithNotificationID(id, action, engine->qmAppVcName.get(), record["template"]);
        prefs.qmSetInteger(daily + 1, dailyKey, QMStore::Library);
        // The survey in a modal is not an impression for the host app.
        if (templateValue != 101) engine->qmTriggerInAppBannerImpressionCallbacktoDelegateWithNotificationID(id);
    }
    return record;
}

std::shared_ptr<qmInAppPopupView> qmBuildCampaignView(long templateValue, const Value& original, bool trackViewStates) {
    if (templateValue == 101) {
        // Not a popup view: the survey's panel is qmCurrentSurveyPanel().
        CreateSurvayModalPopup(original, trackViewStates);
        return nullptr;
    }
    if (!((templateValue >= 1 && templateValue <= 8) || templateValue == 102)) return nullptr;
    const Value record = qmBeginCampaignDisplay(original, trackViewStates);
    if (record.count() == 0) return nullptr;
    auto window = qmGetFilteredData::sharedInstance().qmGetKeyWindow();
    if (!window) return nullptr;

    const std::string id = record["notificationID"].description();
    auto popup = qmInAppPopupView::create();
    popup->setTranslatesAutoresizingMaskIntoConstraints(false);
    popup->qmInAppPopupTemplateID = templateValue;
    popup->qmInAppPopupNotificationID = id;
    popup->qmInAppPopupContainerViewBgColor = GetColor(record["bgColor"]);
    popup->qmInAppPopupCtaBtnTextColor = GetButtonColor(record["ctaColor"]);
    popup->qmInAppPopupCtaBtnBgColor = GetButtonColor(record["ctaBgColor"]);
    if (templateValue != 2) popup->qmShouldHideInAppPopupCloseBtn = shouldHideCloseButton(record["ctaColor"]);
    const Value& extra = record["actionExtra"];
    popup->qmInAppPopupDismissIntValue = extra.isDictionary() && extra.contains("dismiss")
                                             ? static_cast<long>(extra["dismiss"].integerValue())
                                             : 1;
    const std::string html = kViewportHeader + record["description"].description();
    const std::string first = title(record["actionText"]).value_or("");
    const std::string second = title(record["actionTextTwo"]).value_or("");
    const long ctaTemplate = static_cast<long>(record["ctaTemplate"].integerValue());
    std::string name;
    switch (templateValue) {
    case 1:
        name = "qmInAppAlertDialog";
        popup->qmInAppPopupWebViewHTMLStr = html;
        popup->qmInAppPopupCloseBtnType = 0;
        popup->qmInAppPopupDismissOnTapOutSide = false;
        popup->qmInAppPopupFirstCtaBtnTitleText = first.empty() ? "OK" : first;
        popup->qmInAppPopupCtaShowCondition = 2;
        popup->qmInAppPopupAnimationID = 1;
        popup->qmInAppPopupCtaBtnTemplateID = ctaTemplate;
        break;
    case 2:
        name = "qmInAppConfirmAlertDialog";
        popup->qmInAppPopupWebViewHTMLStr = html;
        popup->qmInAppPopupCloseBtnType = 0;
        popup->qmInAppPopupDismissOnTapOutSide = false;
        popup->qmInAppPopupFirstCtaBtnTitleText = first.empty() ? "Confirm" : first;
        popup->qmInAppPopupSecondCtaBtnTitleText = second.empty() ? "Cancel" : second;
        popup->qmInAppPopupCtaShowCondition = 3;
        popup->qmInAppPopupAnimationID = 1;
        popup->qmInAppPopupCtaBtnTemplateID = ctaTemplate;
        break;
    case 3:
    case 4:
        name = templateValue == 3 ? "qmInAppModalPopupView" : "qmInAppFullScrnPopupView";
        popup->qmInAppPopupWebViewHTMLStr = html;
        popup->qmInAppPopupCloseBtnType = 2;
        popup->qmInAppPopupDismissOnTapOutSide = true;
        popup->qmInAppPopupFirstCtaBtnTitleText = first;
        popup->qmInAppPopupSecondCtaBtnTitleText = second;
        popup->qmInAppPopupCtaShowCondition = showCondition(first, second);
        popup->qmInAppPopupAnimationID = templateValue == 3 ? record["animation"].integerValue() : animationOr(record, 3);
        popup->qmInAppPopupCtaBtnTemplateID = ctaTemplate;
        break;
    case 7:
    case 8:
        name = templateValue == 7 ? "qmInAppModalPopupView" : "qmInAppFullScrnPopupView";
        popup->qmInAppPopupViewImageUrl = platform::URL::parse(record["description"].description());
        popup->qmInAppPopupAnimationID = templateValue == 7 ? record["animation"].integerValue() : animationOr(record, 3);
        break;
    case 102:
        name = "qmInAppFullScrnPopupView";
        popup->qmInAppPopupWebViewHTMLStr = qmInAppSurveyURLForCampaign(record);
        popup->qmInAppPopupAnimationID = animationOr(record, 3);
        break;
    case 5:
        name = "qmInAppStickyBarPopupView";
        popup->qmInAppPopupWebViewHTMLStr = html;
        popup->qmInAppPopupCloseBtnType = 2;
        popup->qmInAppPopupDismissOnTapOutSide = true;
        popup->qmInAppPopupCtaShowCondition = 0;
        popup->qmInAppPopupAnimationID = animationOr(record, 5);
        popup->qmInAppPopupCtaBtnTemplateID = 0;
        break;
    case 6:
        name = "qmInAppStickyBarPopupView";
        popup->qmInAppPopupViewImageUrl = platform::URL::parse(record["description"].description());
        popup->qmInAppPopupAnimationID = animationOr(record, 5);
        break;
    default: return nullptr;
    }
    popup->delegate = qmInAppTapHandler::shared();
    popup->qmSetupInAppPopupView();

    auto root = platform::viewOf(*window);
    root->addSubview(popup);
    std::map<std::string, std::shared_ptr<platform::View>, std::less<>> views{{name, popup}};
    auto pin = [&](const std::string& format, std::map<std::string, double, std::less<>> metrics = {}) {
        platform::LayoutConstraint::activateConstraints(
            platform::LayoutConstraint::constraintsWithVisualFormat(format, 0, metrics, views));
    };
    pin("H:|-0-[" + name + "]-0-|");
    if (templateValue == 5 || templateValue == 6) {
        const auto insets = root->safeAreaInsets();
        if (record["pos"].integerValue() == 1) {
            pin("V:[" + name + "]-(qmStickyBottomPadding)-|", {{"qmStickyBottomPadding", insets.bottom}});
        } else {
            pin("V:|-(qmStickytopPadding)-[" + name + "]", {{"qmStickytopPadding", insets.top}});
        }
    } else {
        pin("V:|-0-[" + name + "]-0-|");
    }
    return popup;
}

}  // namespace qm::inapp
