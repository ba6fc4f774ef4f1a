#include "inapp/qmInAppScriptBridge.hpp"

#include <unicode/regex.h>

#include <memory>
#include <mutex>

#include "core/QMLogger.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMTypes.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmbase/no_destructor.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/url.hpp"
#include "qmweb/web_view.hpp"

namespace qm::inapp {

namespace {

constexpr const char* kURLPattern =
    "^(https?://)?(www\\.)?([-a-z0-9]{1,63}\\.)*?[a-z0-9][-a-z0-9]{0,61}[a-z0-9]\\.[a-z]{2,6}(/[-\\w@\\+\\.~#\\?&/=%]*)?$";

// The address pattern, compiled once; matchers are made per call (a matcher is not shared
// between threads).
const icu::RegexPattern* urlPattern() {
    static NoDestructor<std::unique_ptr<icu::RegexPattern>> pattern([] {
        UErrorCode status = U_ZERO_ERROR;
        UParseError parseError{};
        std::unique_ptr<icu::RegexPattern> compiled(
            icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(kURLPattern), parseError, status));
        return U_SUCCESS(status) ? std::move(compiled) : nullptr;
    }());
    return pattern->get();
}

// The router with no App Store URL, no campaign, no e-mail subject, call-to-action 3.
void route(long target, const Value& destination, const Value& parameters = Value::dictionary()) {
    auto engine = QMRuntime::shared().qmInternalProcess();
    if (!engine) return;
    engine->performActionWithTarget(target, destination, Value(), Value(), parameters, Value(), 3, Value());
}

}  // namespace

Value qmParseDictionaryFromJSONString(const Value& text) {
    if (!text.isString() || text.string().size() > kMaxScriptMessageBody) return Value();
    auto parsed = platform::json::parse(text.string());
    if (!parsed || !parsed->isDictionary()) return Value();
    return *parsed;
}

bool validateUrl(const Value& text) {
    const std::string candidate = text.description();
    // Addresses are short; a long text is not one (and is not worth a backtracking match).
    if (candidate.empty() || candidate.size() > 2048) return false;
    const icu::RegexPattern* pattern = urlPattern();
    if (!pattern) return false;
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString input = icu::UnicodeString::fromUTF8(candidate);
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
    if (U_FAILURE(status) || !matcher) return false;
    const bool matches = matcher->matches(status);
    return U_SUCCESS(status) && matches;
}

std::optional<DecodedScriptMessage> qmDecodeScriptMessage(const platform::ScriptMessage& message) {
    DecodedScriptMessage decoded;
    decoded.name = message.name;
    if (!isValidString(Value(decoded.name))) return std::nullopt;
    // A page that posts an object (rather than its JSON text) means the same.
    if (message.body.isDictionary()) {
        decoded.text = message.body;
        decoded.body = message.body;
    } else {
        decoded.text = Value(message.body.description());
        if (decoded.text.string().size() > kMaxScriptMessageBody) {
            QMLog(QMLogLevelError, "A page's message %@ was refused: its body is too long", Value(decoded.name));
            return std::nullopt;
        }
        if (isValidString(decoded.text)) decoded.body = qmParseDictionaryFromJSONString(decoded.text);
    }
    if (!decoded.body.isDictionary()) decoded.body = Value::dictionary();
    if (decoded.body.count() > 0) {
        const Value tokens(decoded.body["tokens"].description());
        if (decoded.body.contains("tokens") && isValidString(tokens) && tokens.string() != "[]") {
            const Value parsed = decoded.body["tokens"].isDictionary() ? decoded.body["tokens"]
                                                                        : qmParseDictionaryFromJSONString(tokens);
            if (parsed.count() > 0) decoded.body.set("tokens", parsed);
        }
    }
    return decoded;
}

bool qmPerformSharedScriptMessage(const DecodedScriptMessage& message) {
    const std::string& name = message.name;
    auto engine = QMRuntime::shared().qmInternalProcess();
    if (name == "surveyAttempt" || name == "surveySubmit") {
        if (!engine) return true;
        const bool attempt = name == "surveyAttempt";
        engine->qmCallBackDataForInAppBannerWithEventName(
            Value(attempt ? "Survey Attempt" : "Survey Submit"),
            Value(attempt ? "Survey attempted successfully" : "Survey submitted successfully"), message.body,
            attempt ? Value(14) : Value(14.1), Value("survey"));
        return true;
    }
    if (name == "qmOpenWeb") {
        if (isValidString(message.text) && validateUrl(message.text)) route(QMActionTargetWebPage, message.text);
        return true;
    }
    if (name == "qmOpenThirdPartyApp") {
        if (isValidString(message.text)) route(QMActionTargetOtherApp, message.text);
        return true;
    }
    if (name == "qmInAppCall") {
        if (isValidString(message.text)) route(QMActionTargetCall, message.text);
        return true;
    }
    if (name == "qmOpenInApp") {
        const std::string text = message.text.description();
        if (!isValidString(message.text) || !text.starts_with("qminapp://")) return true;
        const auto url = platform::URL::parse(text);
        const Value destination = url && isValidString(Value(url->host())) ? Value(url->host()) : Value();
        Value parameters = Value::dictionary();
        const std::string query = url ? url->query() : std::string();
        std::size_t start = 0;
        while (start <= query.size() && !query.empty()) {
            const std::size_t end = query.find('&', start);
            const std::string piece = query.substr(start, end == std::string::npos ? std::string::npos : end - start);
            // "a=b=c" gives a → c: the first and the last part.
            const std::size_t first = piece.find('=');
            if (first != std::string::npos) parameters.set(piece.substr(0, first), Value(piece.substr(piece.rfind('=') + 1)));
            if (end == std::string::npos) break;
            start = end + 1;
        }
        route(QMActionTargetAppScreen, destination, parameters);
        return true;
    }
    return false;
}

}  // namespace qm::inapp
