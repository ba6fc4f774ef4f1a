// The engine's transport: the common parameters, the POST routine and background requests.
#include <algorithm>

#include "core/QMFormFields.hpp"
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

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// "(null)" never reaches the service: missing values become empty fields. The values were
// percent-encoded when the fields were joined (qmFormField), so their escapes stay as they
// are; anything else a URL query cannot hold is encoded here, a stray "%" included.
std::string encodeParameters(const Value& paramStrings) {
    const std::string text = replaceAll(paramStrings.description(), "(null)", "");
    std::string encoded;
    encoded.reserve(text.size());
    std::size_t plainFrom = 0;
    for (std::size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 1)) {
        if (at + 2 < text.size() && isHexDigit(text[at + 1]) && isHexDigit(text[at + 2])) {
            encoded += platform::percentEncodeQuery(std::string_view(text).substr(plainFrom, at - plainFrom));
            encoded.append(text, at, 3);
            plainFrom = at + 3;
            at += 2;
        }
    }
    encoded += platform::percentEncodeQuery(std::string_view(text).substr(plainFrom));
    return encoded;
}

platform::Error toError(const platform::URLError& e) { return platform::Error{e.domain, e.code, e.localizedDescription}; }

// Settings fetched with a push click id: "qmSessionBgTaskSettings_puClid_" and the click id.
constexpr const char* kSettingsSessionPrefix = "qmSessionBgTaskSettings_puClid";
std::string settingsSessionPushClickID(const std::string& identifier) {
    const std::string prefix = std::string(kSettingsSessionPrefix) + "_";
    return identifier.rfind(prefix, 0) == 0 ? identifier.substr(prefix.size()) : std::string();
}

platform::Error jsonError() { return qmInternalProcessClass::qmJSONParseError(); }

// The session delegate of background requests: hands each answer to the engine.
class BackgroundDelegate : public platform::URLSessionDelegate {
public:
    explicit BackgroundDelegate(std::weak_ptr<qmInternalProcessClass> engine) : engine_(std::move(engine)) {}
    void didFinishDownloadingToURL(platform::URLSession& session, platform::URLSessionTask& task,
                                   const std::string& locationPath) override {
        if (auto engine = engine_.lock()) engine->URLSession(session, task, locationPath);
    }
    // Called once the session has given up on a request (its own retries spent).
    void didCompleteWithError(platform::URLSession& session, platform::URLSessionTask&,
                              const std::optional<platform::URLError>& error) override {
        if (!error) return;
        if (auto engine = engine_.lock()) engine->qmBackgroundTaskDidFail(session);
    }

private:
    std::weak_ptr<qmInternalProcessClass> engine_;
};

}  // namespace

std::string qmInternalProcessClass::qmGetDefaultPostParamsWithDeviceIDType(long deviceIDType, long packageIDType) {
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    if (prefs.qmObjectForKey("qm_language", QMStore::Library))
        qmLanguage.set(Value(prefs.qmStringForKey("qm_language", QMStore::Library)));
    const Value mode(prefs.qmStringForKey("qm_AppMode", QMStore::Library));
    qm_IP_Mode.set(mode);

    std::string text = format("bid=%ld", prefs.qmIntegerForKey("qm_brandID", QMStore::Library));
    text += qmFormField("bid_e", Value(prefs.qmStringForKey("qm_encryptedKey", QMStore::Library)));
    text += "&device=2";
    text += qmFormField(deviceIDType == 1 ? "device_id" : "deviceID",
                        Value(prefs.qmStringForKey("qm_iOS_VENDOR_IDENTIFIER", QMStore::Library)));
    text += qmFormField("clickID", Value(prefs.qmStringForKey("qm_anal_id", QMStore::Library)));
    text += qmFormField("language", qmLanguage.get());
    text += qmFormField("gmOffset", Value(qmGetFilteredData::sharedInstance().qmGetGMTTimeOffset()));
    text += qmFormField("mode", mode);
    text += qmFormField("sdk_version", Value(kSDKVersion));
    Value package = prefs.qmObjectForKey("qm_Package", QMStore::Library);
    if (!package) package = prefs.qmObjectForKey("qm_Package", QMStore::AppGroup);
    if (isValidString(package)) text += qmFormField(packageIDType == 1 ? "package" : "mobile_app_id", package);
    text = qmGetFilteredData::sharedInstance().qmAddCookiesDataInUrlString(text);
    return replaceAll(std::move(text), "(null)", "");
}

void qmInternalProcessClass::qmHitAPIWithPOSTRequestforUrlString(const Value& urlString, const Value& userAgent,
                                                                 const Value& paramStrings, long headerContentType,
                                                                 QMCompletionHandler completionHandler,
                                                                 QMFailureHandler failuerHandler) {
    qmPostRequest(urlString, userAgent, paramStrings, headerContentType,
                  [completionHandler, failuerHandler](const QMPostResult& result) {
                      if (result.transportError) {
                          if (failuerHandler) failuerHandler(result.transportError);
                          return;
                      }
                      if (failuerHandler) failuerHandler(result.answer ? std::nullopt : std::optional(jsonError()));
                      if (completionHandler) completionHandler(result.answer.value_or(Value()));
                  });
}

platform::Error qmInternalProcessClass::qmJSONParseError() {
    return platform::Error{platform::kCocoaErrorDomain, 3840, "The data couldn't be read because it isn't in the correct format."};
}

void qmInternalProcessClass::qmPostRequest(const Value& urlString, const Value& userAgent, const Value& paramStrings,
                                           long headerContentType, std::function<void(const QMPostResult&)> handler) {
    if (isInvalidURLText(urlString)) {
        QMPostResult result;
        result.transportError = platform::Error{platform::kURLErrorDomain, -1002,
                                                platform::Bundle::main().localizedStringForKey("Invalid/empty url found")};
        platform::Queue::main().async([handler, result] {
            if (handler) handler(result);
        });
        return;
    }
    const std::string url = urlString.description();
    const std::string body = encodeParameters(paramStrings);
    // A server that keeps sending a byte now and then never lets the idle limit fire; the
    // whole exchange gets twice that limit (2 minutes by default) instead of the default week.
    auto configuration = platform::URLSessionConfiguration::defaultSessionConfiguration();
    configuration.timeoutIntervalForResource =
        std::min(configuration.timeoutIntervalForResource, 2 * configuration.timeoutIntervalForRequest);
    // The session delivers straight to the main queue: the answer is handed over once, from
    // the transport's thread to the main run loop, and parsed there (answers are small; the
    // transport caps them).
    auto session = platform::URLSession::sessionWithConfiguration(configuration, nullptr, &platform::OperationQueue::main());
    auto task = session->dataTaskWithRequest(
        buildRequest(url, userAgent, body, headerContentType),
        [url, body, handler](const std::optional<std::string>& data, const std::optional<platform::HTTPURLResponse>& response,
                             const std::optional<platform::URLError>& error) {
            // Main queue.
            // The dump shows secrets and personal values only redacted.
            const bool dump = QMLogger::qmIsEnabled(QMLogLevelVerbose);
            Value log = Value::dictionary();
            if (dump && isValidString(Value(url))) log.set("requestUrl", QMRedaction::qmRedactURLText(url));
            if (dump && isValidString(Value(body))) log.set("queryParams", QMRedaction::qmRedactFormText(body));
            QMPostResult result;
            if (!response || error) {
                platform::Error failure = error ? toError(*error) : platform::Error{platform::kURLErrorDomain, -1011, "bad server response"};
                if (isValidString(Value(failure.description()))) log.set("error", failure.description());
                QMLog(QMLogLevelVerbose, "%@", log);
                result.transportError = failure;
            } else {
                std::optional<Value> parsed = platform::json::parse(data.value_or(""));
                if (dump && parsed && parsed->count() > 0) log.set("response", QMRedaction::qmRedactSensitiveKeys(*parsed));
                QMLog(QMLogLevelVerbose, "%@", log);
                result.answer = std::move(parsed);
                result.statusCode = response->statusCode;
            }
            if (handler) handler(result);
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
    } else if (identifier.rfind(kSettingsSessionPrefix, 0) == 0) {
        if (!contents || contents->empty()) {
            QMLog(QMLogLevelError, "Invalid or response content data not found to update settings request");
        } else if (!parsed) {
            QMLog(QMLogLevelError, "An error has occurred while requesting settings. Error description: %@",
                  jsonError().description());
        } else if (parsed->count() > 0) {
            log.set("response", QMRedaction::qmRedactSensitiveKeys(*parsed));
            QMLog(QMLogLevelVerbose, "%@", log);
            qmUpdateSettingsFetchedFromServerWithResponseDict(*parsed);
            return;
        }
        qmSettingsFetchFailed(Value(settingsSessionPushClickID(identifier)), qmLaunchGeneration());
    }
}

void qmInternalProcessClass::qmBackgroundTaskDidFail(platform::URLSession& session) {
    const std::string& identifier = session.configuration().identifier;
    if (identifier.rfind(kSettingsSessionPrefix, 0) == 0) qmSettingsFetchFailed(Value(settingsSessionPushClickID(identifier)), qmLaunchGeneration());
}

}  // namespace qm
