// Deep links: the app opened with a URL. Its query may carry an analytics id and UTM
// parameters for campaign attribution; its host names a screen of the app.
#include <string>
#include <string_view>
#include <vector>

#include "core/QMLogger.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/QMThreadCheck.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/url.hpp"
#include "quelmar/quelmar.hpp"

namespace qm {
namespace {

// One query component split at "=": the name before the first "=", the value up to the
// next "=" (or the end). Components without "=" have no name.
struct Component {
    std::string text;
    std::optional<std::string> name, value;
};

std::vector<Component> queryComponents(const std::optional<platform::URL>& url) {
    std::vector<Component> components;
    if (!url || !url->hasQuery()) return components;
    const std::string query = url->query();
    std::string::size_type start = 0;
    while (start <= query.size()) {
        auto end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        Component component{query.substr(start, end - start), std::nullopt, std::nullopt};
        const auto equals = component.text.find('=');
        if (equals != std::string::npos) {
            const auto next = component.text.find('=', equals + 1);
            component.name = component.text.substr(0, equals);
            component.value = component.text.substr(equals + 1, next == std::string::npos ? std::string::npos
                                                                                          : next - equals - 1);
        }
        components.push_back(std::move(component));
        start = end + 1;
    }
    return components;
}

// `part` is lower-case ASCII.
bool containsIgnoringCase(const std::string& text, std::string_view part) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower.find(part) != std::string::npos;
}

// The one engine (it exists before start-up too).
const std::shared_ptr<qmInternalProcessClass>& currentEngine() { return QMRuntime::shared().engine(); }

// The steps both handlers share: the account keys, the analytics id and the UTM
// parameters. False when the keys are not usable (nothing else is done then).
bool captureAttribution(const std::vector<Component>& components) {
    auto& bundle = platform::Bundle::main();
    const long long brandID = bundle.objectForInfoDictionaryKey("qmBrandID").integerValue();
    const Value secretKey = bundle.objectForInfoDictionaryKey("qmSecretKey");
    if (brandID <= 0 || !isValidString(secretKey)) return false;

    auto& module = QMRuntime::shared();
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    module.qmBrandIDBeforeDeepLink.with([&prefs, &module](Value& before) {
        if (!module._qmDeeplinkcheck) before = prefs.qmObjectForKey("qm_brandID", QMStore::Library);
    });
    module._qmDeeplinkcheck = true;
    prefs.qmSetObject(Value(brandID), "qm_brandID", QMStore::Both);
    prefs.qmSetObject(Value(secretKey.description()), "qm_encryptedKey", QMStore::Both);

    for (const Component& component : components) {
        if (!containsIgnoringCase(component.text, "qm_anal_id=")) continue;
        const Value analyticID(*component.value);
        module._qmAnalyticID.set(analyticID);
        currentEngine()->qm_anal_id.set(analyticID);
        prefs.qmSetObject(analyticID, "qm_anal_id", QMStore::Library);
        break;
    }

    Value utm = Value::dictionary();
    for (const Component& component : components) {
        if (component.name && containsIgnoringCase(component.text, "utm_")) utm.set(*component.name, Value(*component.value));
    }
    if (utm.count() > 0) {
        module.qmFinalUTMParamsDict.set(utm);
        // Before start-up the settings fetch of Initialize carries the parameters.
        if (auto engine = module.qmInternalProcess()) engine->qmFetchSettingsWithPushClId(Value());
    }
    return true;
}

std::optional<platform::URL> parse(const Value& url) {
    if (!isValidString(url)) return std::nullopt;
    return platform::URL::parse(url.description());
}

}  // namespace

// Main queue.
void quelmar::OpenUrlWithApplication(const std::shared_ptr<platform::Application>&, const Value& url) {
    qmCheckMainThread("OpenUrlWithApplication");
    const auto parsed = parse(url);
    if (!captureAttribution(queryComponents(parsed))) {
        QMLog(QMLogLevelError,
              "Invalid brandID or secret key. Kindly check our documentation under the integration section and provide "
              "the values as per your account to fix this error.");
        return;
    }
    if (parsed && !parsed->host().empty()) {
        currentEngine()->performActionWithTarget(QMActionTargetAppScreen, Value(parsed->host()), Value(), Value(),
                                                 Value(), Value(), QMCallToActionBody, Value());
    }
}

// Main queue.
Value quelmar::OpenUrlGetDataWithApplication(const std::shared_ptr<platform::Application>&, const Value& url) {
    qmCheckMainThread("OpenUrlGetDataWithApplication");
    const auto parsed = parse(url);
    const auto components = queryComponents(parsed);
    if (!captureAttribution(components)) return Value();

    Value parameters = Value::dictionary();
    for (const Component& component : components) {
        if (component.name) parameters.set(*component.name, Value(*component.value));
    }
    if (isValidString(parameters["qm_anal_id"])) parameters.remove("qm_anal_id");
    Value result{{"parameters", parameters}};
    if (parsed && !parsed->host().empty()) result.set("ViewControllerToLoad", Value(parsed->host()));
    return result;
}

// Scene-based apps: the URL is re-read from its text and handled when it has a scheme and
// a host.
void quelmar::scene(const std::shared_ptr<platform::Scene>&, const std::shared_ptr<platform::SceneSession>&,
                    const SceneConnectionOptions& options) {
    if (!options.urlContexts.empty()) scene(nullptr, options.urlContexts);
}

void quelmar::scene(const std::shared_ptr<platform::Scene>&, const std::vector<std::string>& openURLContexts) {
    if (openURLContexts.empty()) return;
    const auto parsed = platform::URL::parse(openURLContexts.front());
    if (!parsed || parsed->scheme().empty() || parsed->host().empty()) return;
    OpenUrlWithApplication(nullptr, Value(parsed->absoluteString()));
}

Value qmGetFilteredData::valueForKey(std::string_view name, const std::vector<platform::URL::QueryItem>& queryItems) const {
    for (const auto& item : queryItems) {
        if (item.name == name) return item.value ? Value(*item.value) : Value();
    }
    return Value();
}

}  // namespace qm
