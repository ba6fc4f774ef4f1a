#include "core/qmGetFilteredData.hpp"

#include <atomic>

#include "core/QMLogger.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/text.hpp"
#include "qmplatform/webview.hpp"

namespace qm {

qmGetFilteredData& qmGetFilteredData::sharedInstance() {
    static auto* instance = new qmGetFilteredData();
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
        Value stored = prefs.qmObjectForKey("qm_secretAgent", 0);
        if (!stored) stored = prefs.qmObjectForKey("qm_secretAgent", 1);
        if (stored) return Value(stored.description());
    }
    Value answer = qmStringByEvaluatingJavaScriptFromString("navigator.userAgent", platform::WebView::create());
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
        // The answer arrives on the main run loop: keep serving it until then.
        while (!evaluation->finished) loop.runUntil([&] { return evaluation->finished.load(); }, 3600);
    } else {
        // Off the main thread only the host pumps the main run loop: wait for it, bounded.
        evaluation->done.wait(10);
    }
    return evaluation->finished ? evaluation->result : Value();
}

// Close-button image, cookie expiry and session times arrive with the in-app and
// attribution features; until then these entries do nothing.
void qmGetFilteredData::qmCheckCloseButtonImage() {}
void qmGetFilteredData::qmCheckCookiesExpiryWithLastSession() {}
void qmGetFilteredData::qmSetLastSessionTimeForApp() {}

void qmGetFilteredData::qmClearWaitingFunctions() {
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    if (prefs.qmObjectForKey("qm_WaitingFunctions", 0)) prefs.qmRemoveObjectForKey("qm_WaitingFunctions", 0);
}

}  // namespace qm
