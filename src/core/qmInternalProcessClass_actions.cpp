// Action routing: every click the library shows or receives ends here and becomes a screen
// of the app, a web page, another app, a share sheet or a call.
#include <atomic>
#include <string>
#include <vector>

#include "core/QMLogger.hpp"
#include "core/QMRedaction.hpp"
#include "core/QM_WhatsAppActivity.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/error.hpp"
#include "qmplatform/notification_center.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"

namespace qm {

std::atomic<bool> qm_is_ViewAutoRedirectEnable{true};

namespace {

constexpr const char* kActionURLErrorDomain = "qmActionUrl";
constexpr long kActionURLErrorCode = 410;
// The blanks around the product word in one of the messages are no-break spaces.
constexpr const char* kNoBreakSpace = "\xC2\xA0";

std::optional<platform::URL> urlFrom(const Value& text) {
    if (!isValidString(text)) return std::nullopt;
    return platform::URL::parse(text.description());
}

// Main queue: app screens. Presents the controller the identifier names when the host lets
// the library redirect, then tells the host about the click either way.
void openAppScreen(qmInternalProcessClass& engine, const Value& destination, const Value& parameters, long ctaAction,
                   const Value& templateType) {
    const Value setting = platform::Bundle::main().objectForInfoDictionaryKey("qmViewAutoRedirection");
    qm_is_ViewAutoRedirectEnable = setting ? setting.boolValue() : true;

    if (qm_is_ViewAutoRedirectEnable) {
        auto top = qmGetFilteredData::sharedInstance().qmGetTopMostController();
        auto storyboard = top ? top->storyboard() : nullptr;
        const std::string identifier = destination.description();
        if (!storyboard || !storyboard->identifierToNibNameMap().count(identifier)) {
            engine.qmOnCTAEncounterInvalidActionURLErrorMessageWithErrorType(QMActionURLErrorScreenNotFound);
        } else if (auto screen = storyboard->instantiateViewControllerWithIdentifier(identifier)) {
            screen->setModalPresentationStyle(platform::ModalPresentationStyle::FullScreen);
            top->presentViewController(screen, true);
        }
    }

    Value userInfo = Value::dictionary();
    userInfo.set("callToAction", Value(ctaAction));
    if (parameters.isDictionary() && parameters.count() > 0) userInfo.set("parameters", parameters);
    if (destination) userInfo.set("ViewControllerToLoad", destination);
    if (isValidString(templateType)) userInfo.set("type", templateType);
    auto& center = platform::NotificationCenter::defaultCenter();
    center.post("QMInAppViewConroller", userInfo, &engine);
    center.post("qmNotificationClickCallback", userInfo, &engine);
    QMLog(QMLogLevelInfo, "Posting data through the NSNotificationCenter is finished.");
}

void share(qmInternalProcessClass& engine, const Value& text, const Value& notificationID, const Value& emailSubject,
           std::function<void()> onCompleted) {
    if (!text) {
        // Nothing to share: a sheet without its text would be of no use.
        engine.qmOnButtonActionWarnningOrErrorLogOnEmptyActionUrlforActionTarget(QMActionTargetShare);
        return;
    }
    auto message = std::make_shared<QM_WhatsAppMessage>(text, Value("101"), notificationID);
    auto sheet = std::make_shared<platform::ActivityViewController>(
        platform::ActivityItems{text, message},
        std::vector<std::shared_ptr<platform::Activity>>{std::make_shared<QM_WhatsAppActivity>()});
    sheet->setExcludedActivityTypes({platform::kActivityTypeAirDrop, platform::kActivityTypePrint,
                                     platform::kActivityTypeAssignToContact, platform::kActivityTypeSaveToCameraRoll,
                                     platform::kActivityTypeAddToReadingList, platform::kActivityTypePostToFlickr,
                                     platform::kActivityTypePostToVimeo});
    sheet->setSubject(isValidString(emailSubject) ? emailSubject.description() : "");
    if (onCompleted) {
        sheet->setCompletionWithItemsHandler([onCompleted = std::move(onCompleted)](const std::optional<std::string>&, bool completed) {
            if (completed) onCompleted();
        });
    }
    if (auto top = qmGetFilteredData::sharedInstance().qmGetTopMostController()) top->presentViewController(sheet, true);
}

}  // namespace

// Main queue.
void qmInternalProcessClass::performActionWithTarget(long target, const Value& destination, const Value& ituneUrl,
                                                     const Value& notificationID, const Value& parameters,
                                                     const Value& emailSubject, long ctaAction, const Value& templateType,
                                                     std::function<void()> onShareCompleted) {
    switch (target) {
        case QMActionTargetAppScreen:
            openAppScreen(*this, destination, parameters, ctaAction, templateType);
            break;
        case QMActionTargetWebPage:
            qmNavigateToWebForUrl(urlFrom(destination), nullptr);
            break;
        case QMActionTargetOtherApp: {
            // A destination that makes no URL fails to open and goes no further.
            auto appURL = urlFrom(destination);
            auto self = shared_from_this();
            qmNavigateToWebForUrl(appURL, [self, appURL, ituneUrl](bool success, const std::optional<platform::Error>&) {
                if (success || !appURL || appURL->absoluteString().empty()) return;
                if (isValidString(ituneUrl)) {
                    self->qmNavigateToWebForUrl(urlFrom(ituneUrl), nullptr);
                } else {
                    self->qmOnCTAEncounterInvalidActionURLErrorMessageWithErrorType(QMActionURLErrorStoreURLNotSet);
                }
            });
            break;
        }
        case QMActionTargetShare:
            share(*this, destination, notificationID, emailSubject, std::move(onShareCompleted));
            break;
        case QMActionTargetCall:
            qmNavigateToWebForUrl(urlFrom(Value(format("telprompt:%@", destination))), nullptr);
            break;
        default:
            qmOnCTAEncounterInvalidActionURLErrorMessageWithErrorType(QMActionURLErrorInvalidTarget);
            break;
    }
}

// Any thread; the work and the handler run on the main queue.
void qmInternalProcessClass::qmNavigateToWebForUrl(const std::optional<platform::URL>& url, QMOpenURLHandler complitionHandler) {
    platform::Queue::main().async([url, handler = std::move(complitionHandler)] {
        auto& application = platform::Application::shared();
        if (!url || !application.canOpenURL(url->absoluteString())) {
            const platform::Error error{kActionURLErrorDomain, kActionURLErrorCode, "action url is not valid or empty"};
            QMLog(QMLogLevelError, "%@", error.description());
            if (handler) handler(false, error);
            return;
        }
        const std::string text = url->absoluteString();
        application.openURL(text, {}, [text, handler](bool success) {
            if (success) {
                if (handler) handler(true, std::nullopt);
                return;
            }
            const platform::Error error{kActionURLErrorDomain, kActionURLErrorCode, "Failed to open url:" + text};
            QMLog(QMLogLevelError, "Failed to open url: %@", QMRedaction::qmRedactURLText(text));
            if (handler) handler(false, error);
        });
    });
}

void qmInternalProcessClass::qmOnButtonActionWarnningOrErrorLogOnEmptyActionUrlforActionTarget(long target) {
    static constexpr const char* kSuffix =
        " Please set it first in the call to action section of this action button in your quelmar dashboard.";
    switch (target) {
        case QMActionTargetAppScreen:
            QMLog(QMLogLevelWarning, "%@%@", "The name of the iOS ViewController is empty.", kSuffix);
            break;
        case QMActionTargetWebPage:
            QMLog(QMLogLevelError, "%@%@", "Web Page URL is empty.", kSuffix);
            break;
        case QMActionTargetOtherApp:
            QMLog(QMLogLevelError, "%@%@", "The URL scheme is empty.", kSuffix);
            break;
        case QMActionTargetShare:
            QMLog(QMLogLevelError, "%@%@", "Sharing content is empty.", kSuffix);
            break;
        case QMActionTargetCall:
            QMLog(QMLogLevelError, "%@%@", "The phone number is empty.", kSuffix);
            break;
        default:
            break;
    }
}

void qmInternalProcessClass::qmOnCTAEncounterInvalidActionURLErrorMessageWithErrorType(long errorType) {
    switch (errorType) {
        case QMActionURLErrorScreenNotFound:
            QMLog(QMLogLevelWarning, "The ViewController or it's storyboardID not found.");
            break;
        case QMActionURLErrorNotSet:
            QMLog(QMLogLevelWarning,
                  "The action URL is not set. Please set the rules for this action in the call to action section of the "
                  "action button in your%@quelmar%@dashboard.",
                  kNoBreakSpace, kNoBreakSpace);
            break;
        case QMActionURLErrorStoreURLNotSet:
            QMLog(QMLogLevelWarning,
                  "The app's app store URL is not set. Please set it first in the call to action section of this action "
                  "button in your quelmar dashboard.");
            break;
        case QMActionURLErrorInvalidTarget:
            QMLog(QMLogLevelError, "Invalid action or target value not found.");
            break;
        default:
            break;
    }
}

// Utility ------------------------------------------------------------------------------------

std::shared_ptr<platform::Window> qmGetFilteredData::qmGetKeyWindow() const {
    auto& application = platform::Application::shared();
    if (Value(platform::Device::current().systemVersion()).doubleValue() >= 13) {
        for (const auto& window : application.windows()) {
            if (window->isKeyWindow()) return window;
        }
        return nullptr;
    }
    return application.keyWindow();
}

std::shared_ptr<platform::ViewController> qmGetFilteredData::qmGetTopMostController() const {
    auto window = qmGetKeyWindow();
    auto current = window ? window->rootViewController() : nullptr;
    while (current) {
        if (auto presented = current->presentedViewController()) {
            current = presented;
        } else if (auto navigation = std::dynamic_pointer_cast<platform::NavigationController>(current)) {
            current = navigation->topViewController();
        } else if (auto tabs = std::dynamic_pointer_cast<platform::TabBarController>(current)) {
            current = tabs->selectedViewController();
        } else {
            break;
        }
    }
    return current;
}

Value qmGetFilteredData::qmGetFinalActionParamsForCurrentCalltoActionType(long callToAction, const Value& actionParams) const {
    Value result = Value::dictionary();
    for (const Value& record : actionParams.arrayItems()) {
        if (!record.isDictionary()) continue;
        if (record.contains("ap")) {
            const std::string click = record["ap"].description();
            const long number = click == "action1"   ? QMCallToActionFirstButton
                                : click == "action2" ? QMCallToActionSecondButton
                                                     : QMCallToActionBody;
            if (number != callToAction) continue;
        }
        const Value& nameValue = record["k"];
        if (!isValidString(nameValue)) continue;
        const long long type = record.contains("d") ? record["d"].integerValue() : 2;
        const Value& value = record["v"];
        if (type == 3) {
            result.set(nameValue.description(), Value(value.boolValue()));
        } else if (type == 1) {
            result.set(nameValue.description(), Value(value.integerValue()));
        } else {
            result.set(nameValue.description(), Value(value ? value.description() : std::string()));
        }
    }
    return result;
}

}  // namespace qm
