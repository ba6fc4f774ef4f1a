#include "core/qmGetFilteredData.hpp"

#include <atomic>

#include <cmath>

#include "core/QMFormFields.hpp"
#include "core/QMLogger.hpp"
#include "core/QMReachability.hpp"
#include "core/QMSDKNetworkManager.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "inapp/qmInAppCloseButton.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/datetime.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/network.hpp"
#include "qmplatform/text.hpp"
#include "qmweb/web_view.hpp"
#include "quelmar/version.hpp"
#include "qmbase/no_destructor.hpp"

namespace qm {

qmGetFilteredData& qmGetFilteredData::sharedInstance() {
    static NoDestructor<qmGetFilteredData> instance;
    return *instance;
}

std::string qmGetFilteredData::qmGetAppGroupIDforQuelmar() const {
    return QMSDKUserDefaultsData::appGroupIDFromInfoDictionary(true);
}

long qmGetFilteredData::qmGetCurrentLogLevel() const {
    Value level = platform::Bundle::main().objectForInfoDictionaryKey("qmLogsLevel");
    if (!isValidString(level)) return QMLogLevelInfo;
    const std::string name = platform::Text::uppercase(level.description());
    if (name == "ERROR") return QMLogLevelError;
    if (name == "WARNING") return QMLogLevelWarning;
    if (name == "INFO") return QMLogLevelInfo;
    if (name == "DEBUG") return QMLogLevelDebug;
    if (name == "VERBOSE") return QMLogLevelVerbose;
    return QMLogLevelInfo;
}

Value qmGetFilteredData::qmGetCurrentWebUserAgentValueAfterReset(bool reset) {
    if (!reset) {
        auto& prefs = QMSDKUserDefaultsData::sharedInstance();
        Value stored = prefs.qmObjectForKey("qm_secretAgent", QMStore::Library);
        if (!stored) stored = prefs.qmObjectForKey("qm_secretAgent", QMStore::AppGroup);
        if (stored) return Value(stored.description());
    }
    platform::WebViewConfiguration webConfiguration;
    webConfiguration.applicationNameForUserAgent = std::string("quelmar/") + kSDKVersion;
    Value answer = qmStringByEvaluatingJavaScriptFromString(
        "navigator.userAgent", platform::WebView::create({}, webConfiguration));
    return isValidString(answer) ? answer : Value();
}

Value qmGetFilteredData::qmStringByEvaluatingJavaScriptFromString(const std::string& script,
                                                                  const std::shared_ptr<platform::WebView>& webView) {
    if (!webView) return Value();
    struct Evaluation {
        std::atomic<bool> finished{false};
        Value result;
        platform::Semaphore done{0};
    };
    auto evaluation = std::make_shared<Evaluation>();
    webView->evaluateJavaScript(script, [evaluation](const Value& result, const std::optional<std::string>& error) {
        if (error) {
            QMLog(QMLogLevelError, "evaluateJavaScript found error with description: %@", *error);
        } else {
            evaluation->result = Value(result.description());
        }
        evaluation->finished = true;
        evaluation->done.signal();
    });
    auto& loop = platform::RunLoop::main();
    if (loop.isMainThread()) {
        // The answer arrives on the main run loop: keep serving it until then, but never
        // hold the host's main thread longer than the deadline.
        loop.runUntil([&] { return evaluation->finished.load(); }, kScriptAnswerDeadline);
    } else {
        // Off the main thread only the host pumps the main run loop: wait for it, bounded.
        evaluation->done.wait(kScriptAnswerDeadline);
    }
    if (!evaluation->finished) {
        QMLog(QMLogLevelWarning, "The web view did not answer \"%@\" within %ld seconds.", script,
              static_cast<long>(kScriptAnswerDeadline));
        return Value();
    }
    return evaluation->result;
}

std::string qmGetFilteredData::qmGetGMTTimeOffset() const {
    const long local = platform::TimeZone::secondsFromGMT(platform::Clock::currentDate());
    const long minutes = static_cast<long>(std::trunc(static_cast<double>(0 - local) / 60.0));
    return format("%02ld", minutes);
}

std::string qmGetFilteredData::getShortNamefromCurrentCellularNetworkType(const std::string& technology) const {
    namespace radio = platform::radio;
    for (const char* twoG : {radio::GPRS, radio::Edge, radio::CDMA1x}) {
        if (technology == twoG) return "2G";
    }
    for (const char* threeG : {radio::WCDMA, radio::HSDPA, radio::HSUPA, radio::CDMAEVDORev0, radio::CDMAEVDORevA,
                               radio::CDMAEVDORevB, radio::eHRPD}) {
        if (technology == threeG) return "3G";
    }
    if (technology == radio::LTE) return "4G";
    return technology;
}

Value qmGetFilteredData::qmGetNetworkStatusInfo() const {
    Value info = Value::dictionary();
    Value carrier(platform::Telephony::carrierName().value_or(""));
    if (isValidString(carrier)) info.set("carrier", carrier);
    switch (QMReachability::qmReachabilityForInternetConnection()->qmCurrentReachabilityStatus()) {
        case QMReachableViaWiFi: info.set("network_type", "WIFI"); break;
        case QMReachableViaWWAN:
            info.set("network_type", getShortNamefromCurrentCellularNetworkType(
                                         platform::Telephony::currentRadioAccessTechnology().value_or("")));
            break;
        default: break;
    }
    return info;
}

Value qmGetFilteredData::qmDeviceDescription() const {
    Value description{{"manufacturer", "apple"}};
    Value model(platform::Device::current().model());
    if (isValidString(model)) description.set("model", model);
    Value status = qmGetNetworkStatusInfo();
    if (isValidString(status["carrier"])) description.set("carrier", status["carrier"]);
    Value networkType = status["network_type"];
    if (networkType) description.set("network_type", networkType);
    const bool wifi = platform::Text::lowercase(networkType.string()) == "wifi";
    description.set("wifi_enabled", wifi ? "true" : "false");
    return description;
}

Value qmGetFilteredData::qmAddCurrentDeviceInfoToUrlString(const Value& parameters) const {
    if (!isValidString(parameters)) return parameters;
    Value json = qmStringifyDictionary(qmDeviceDescription());
    if (!isValidString(json)) return parameters;
    return Value(parameters.description() + qmFormField("device_info", json));
}

Value qmGetFilteredData::qmAddMobleAppIDToUrlString(const Value& parameters) const {
    if (!isValidString(parameters)) return parameters;
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    Value package = prefs.qmObjectForKey("qm_Package", QMStore::Library);
    if (!package) package = prefs.qmObjectForKey("qm_Package", QMStore::AppGroup);
    if (!isValidString(package)) return parameters;
    return Value(parameters.description() + qmFormField("mobile_app_id", package));
}

Value qmGetFilteredData::qmStringifyDictionary(const Value& dictionary) const {
    if (dictionary.count() == 0) return Value();
    auto text = platform::json::write(dictionary);
    if (!text) {
        // JSON holds only UTF-8: texts with invalid bytes go out with those bytes replaced
        // rather than dropping the whole dictionary.
        bool replaced = false;
        const Value repaired = qmReplacingInvalidUTF8(dictionary, replaced);
        if (replaced) text = platform::json::write(repaired);
        if (text) QMLog(QMLogLevelWarning, "Texts that are not valid UTF-8 were sent with their invalid bytes replaced.");
    }
    return Value(text ? *text : std::string());
}

bool qmGetFilteredData::qmIsConnected() const {
    const std::string probeHost = QMSDKNetworkManager::sharedInstance().qmMobileApiSubdomain() + "." +
                                  QMSDKNetworkManager::sharedInstance().serviceDomain();
    return QMReachability::qmReachabilityWithHostName(probeHost)->qmCurrentReachabilityStatus() != QMNotReachable;
}

void qmGetFilteredData::qmCheckCloseButtonImage() { inapp::qmLoadCloseButtonImage(); }


}  // namespace qm
