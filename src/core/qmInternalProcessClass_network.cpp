// The engine's transport: the common parameters, the POST routine and background requests.
#include <algorithm>

#include "core/QMLogger.hpp"
#include "core/QMRedaction.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/error.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/url.hpp"
#include "qmplatform/url_session.hpp"
#include "quelmar/version.hpp"

namespace qm {
namespace {

std::string replaceAll(std::string text, std::string_view what, std::string_view with) {
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}

bool isInvalidURLText(const Value& url) { return !isValidString(url, true); }

platform::URLRequest buildRequest(const std::string& url, const Value& userAgent, const std::string& encodedBody,
                                  long contentType) {
    platform::URLRequest request;
    request.url = url;
    request.httpMethod = "POST";
    if (userAgent) request.headers.emplace_back("User-Agent", userAgent.description());
    request.headers.emplace_back("Content-Length", std::to_string(encodedBody.size()));
    request.headers.emplace_back("Accept", "application/json");
    request.headers.emplace_back("Content-Type", contentType == 0 ? "application/json" : "application/x-www-form-urlencoded");
    request.body = encodedBody;
    return request;
}

// "(null)" never reaches the service: missing values become empty fields.
std::string encodeParameters(const Value& paramStrings) {
    return platform::percentEncodeQuery(replaceAll(paramStrings.description(), "(null)", ""));
}

platform::Error toError(const platform::URLError& e) { return platform::Error{e.domain, e.code, e.localizedDescription}; }

platform::Error jsonError() {
    return platform::Error{platform::kCocoaErrorDomain, 3840, "The data couldn't be read because it isn't in the correct format."};
}

// The session delegate of background requests: hands each answer to the engine.
class BackgroundDelegate : public platform::URLSessionDelegate {
public:
    explicit BackgroundDelegate(std::weak_ptr<qmInternalProcessClass> engine) : engine_(std::move(engine)) {}
    void didFinishDownloadingToURL(platform::URLSession& session, platform::URLSessionTask& task,
                                   const std::string& locationPath) override {
        if (auto engine = engine_.lock()) engine->URLSession(session, task, locationPath);
    }

private:
    std::weak_ptr<qmInternalProcessClass> engine_;
};

}  // namespace

std::string qmInternalProcessClass::qmGetDefaultPostParamsWithDeviceIDType(long deviceIDType, long packageIDType) {
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    if (prefs.qmObjectForKey("qm_language", 0)) qmLanguage.set(Value(prefs.qmStringForKey("qm_language", 0)));
    const Value mode(prefs.qmStringForKey("qm_AppMode", 0));
    qm_IP_Mode.set(mode);

    std::string text = format("bid=%ld&bid_e=%@&device=2&%@=%@&clickID=%@&language=%@&gmOffset=%@&mode=%@&sdk_version=%@",
                              prefs.qmIntegerForKey("qm_brandID", 0), prefs.qmStringForKey("qm_encryptedKey", 0),
                              deviceIDType == 1 ? "device_id" : "deviceID", prefs.qmStringForKey("qm_iOS_VENDOR_IDENTIFIER", 0),
                              prefs.qmStringForKey("qm_anal_id", 0), qmLanguage.get(),
                              qmGetFilteredData::sharedInstance().qmGetGMTTimeOffset(), mode, kSDKVersion);
    Value package = prefs.qmObjectForKey("qm_Package", 0);
    if (!package) package = prefs.qmObjectForKey("qm_Package", 1);
    if (isValidString(package)) text += format("&%@=%@", packageIDType == 1 ? "package" : "mobile_app_id", package);
    text = qmGetFilteredData::sharedInstance().qmAddCookiesDataInUrlString(text);
    return replaceAll(std::move(text), "(null)", "");
}

void qmInternalProcessClass::qmHitAPIWithPOSTRequestforUrlString(const Value& urlString, const Value& userAgent,
                                                                 const Value& paramStrings, long headerContentType,
                                                                 QMCompletionHandler completionHandler,
                                                                 QMFailureHandler failuerHandler) {
    if (isInvalidURLText(urlString)) {
        platform::Error error{platform::kURLErrorDomain, -1002,
                              platform::Bundle::main().localizedStringForKey("Invalid/empty url found")};
        platform::Queue::main().async([failuerHandler, error] {
            if (failuerHandler) failuerHandler(error);
        });
        return;
    }
    const std::string url = urlString.description();
    const std::string body = encodeParameters(paramStrings);
    auto session = platform::URLSession::sessionWithConfiguration(platform::URLSessionConfiguration::defaultSessionConfiguration());
    auto task = session->dataTaskWithRequest(
        buildRequest(url, userAgent, body, headerContentType),
        [url, body, completionHandler, failuerHandler](const std::optional<std::string>& data,
                                                       const std::optional<platform::HTTPURLResponse>& response,
                                                       const std::optional<platform::URLError>& error) {
            // The dump shows secrets and personal values only redacted.
            const bool dump = QMLogger::qmIsEnabled(QMLogLevelVerbose);
            Value log = Value::dictionary();
            if (dump && isValidString(Value(url))) log.set("requestUrl", QMRedaction::qmRedactURLText(url));
            if (dump && isValidString(Value(body))) log.set("queryParams", QMRedaction::qmRedactFormText(body));
            if (!response || error) {
                platform::Error failure = error ? toError(*error) : platform::Error{platform::kURLErrorDomain, -1011, "bad server response"};
                if (isValidString(Value(failure.description()))) log.set("error", failure.description());
                QMLog(QMLogLevelVerbose, "%@", log);
                platform::Queue::main().async([failuerHandler, failure] {
                    if (failuerHandler) failuerHandler(failure);
                });
                return;
            }
            std::optional<Value> parsed = platform::json::parse(data.value_or(""));
            if (dump && parsed && parsed->count() > 0) log.set("response", QMRedaction::qmRedactSensitiveKeys(*parsed));
            QMLog(QMLogLevelVerbose, "%@", log);
            std::optional<platform::Error> failure;
            if (!parsed) failure = jsonError();
            Value answer = parsed.value_or(Value());
            platform::Queue::main().async([completionHandler, failuerHandler, failure, answer] {
                if (failuerHandler) failuerHandler(failure);
                if (completionHandler) completionHandler(answer);
            });
        });
    session->finishTasksAndInvalidate();
    task->resume();
}

void qmInternalProcessClass::qmHitAPIRequestWithBackgroundSupportforUrlString(const Value& urlString, const Value& userAgent,
                                                                              const Value& paramStrings,
                                                                              long headerContentType,
                                                                              const std::string& backgroundConfigID) {
    if (isInvalidURLText(urlString)) return;
    auto configuration = platform::URLSessionConfiguration::backgroundSessionConfiguration(backgroundConfigID);
    configuration.sessionSendsLaunchEvents = true;
    auto session = platform::URLSession::sessionWithConfiguration(
        configuration, std::make_shared<BackgroundDelegate>(weak_from_this()), &platform::OperationQueue::main());
    auto task = session->downloadTaskWithRequest(
        buildRequest(urlString.description(), userAgent, encodeParameters(paramStrings), headerContentType));
    session->finishTasksAndInvalidate();
    task->resume();
}

void qmInternalProcessClass::qmResumePendingBackgroundRequests() {
    for (const auto& identifier : platform::URLSession::pendingBackgroundSessionIdentifiers()) {
        auto session = platform::URLSession::sessionWithConfiguration(
            platform::URLSessionConfiguration::backgroundSessionConfiguration(identifier),
            std::make_shared<BackgroundDelegate>(weak_from_this()), &platform::OperationQueue::main());
        session->finishTasksAndInvalidate();
    }
}

void qmInternalProcessClass::URLSession(platform::URLSession& session, platform::URLSessionTask& downloadTask,
                                        const std::string& location) {
    Value log = Value::dictionary();
    Value requestURL(downloadTask.currentRequest().url);
    if (isValidString(requestURL)) log.set("requestUrl", QMRedaction::qmRedactURLText(requestURL.description()));
    const std::string& identifier = session.configuration().identifier;
    auto contents = platform::Files::readFile(location);
    std::optional<Value> parsed;
    if (contents && !contents->empty()) parsed = platform::json::parse(*contents);

    if (identifier.rfind("qmSessionBgTaskPushStats_", 0) == 0) {
        if (!contents || contents->empty()) {
            QMLog(QMLogLevelError, "Invalid or response content data not found for push notification statistics request");
        } else if (!parsed) {
            QMLog(QMLogLevelError, "An error has occurred while requesting push notification statistics.Error description: %@",
                  jsonError().description());
        } else if (parsed->count() > 0) {
            if ((*parsed)["Authentication"].description() == "success") {
                QMLog(QMLogLevelInfo, "Push notification statistics has been completed successfully.");
            } else {
                QMLog(QMLogLevelError, "Invalid authentication for push notification statistics");
            }
            log.set("response", QMRedaction::qmRedactSensitiveKeys(*parsed));
            QMLog(QMLogLevelVerbose, "%@", log);
        } else {
            QMLog(QMLogLevelError, "An error has occurred while requesting push notification statistics.");
        }
    } else if (identifier.rfind("qmSessionBgTaskSettings_puClid", 0) == 0) {
        if (!contents || contents->empty()) {
            QMLog(QMLogLevelError, "Invalid or response content data not found to update settings request");
        } else if (!parsed) {
            QMLog(QMLogLevelError, "An error has occurred while requesting settings. Error description: %@",
                  jsonError().description());
        } else if (parsed->count() > 0) {
            log.set("response", QMRedaction::qmRedactSensitiveKeys(*parsed));
            QMLog(QMLogLevelVerbose, "%@", log);
            qmUpdateSettingsFetchedFromServerWithResponseDict(*parsed);
        }
    }
}

}  // namespace qm
