#include "qmplatform/webview.hpp"

#include <mutex>

#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmbase/no_destructor.hpp"

namespace qm::platform {
namespace {
std::mutex& factoryMutex() {
    static NoDestructor<std::mutex> m;
    return *m;
}
std::function<std::shared_ptr<ScriptEngine>()>& factory() {
    static auto* f = new std::function<std::shared_ptr<ScriptEngine>()>();
    return *f;
}

std::string trim(const std::string& s) {
    auto b = s.find_first_not_of(" \t\r\n;");
    auto e = s.find_last_not_of(" \t\r\n;");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}
}  // namespace

void HeadlessScriptEngine::evaluate(const std::string& script, ScriptCompletion done) {
    if (trim(script) == "navigator.userAgent") {
        done(Value(WebView::defaultUserAgent(applicationName_)), std::nullopt);
    } else {
        done(Value(), std::string("A JavaScript exception occurred"));
    }
}

std::string WebView::defaultUserAgent(const std::string& applicationNameForUserAgent) {
    const auto& device = Device::current();
    std::string agent = "Mozilla/5.0 (X11; " + device.systemName() + " " + device.model() +
                        ") QuelmarWebKit/1.0 (KHTML, like Gecko) Mobile";
    if (!applicationNameForUserAgent.empty()) agent += " " + applicationNameForUserAgent;
    return agent;
}

std::shared_ptr<WebView> WebView::create(Rect frame, std::string applicationNameForUserAgent) {
    std::function<std::shared_ptr<ScriptEngine>()> make;
    {
        std::lock_guard lock(factoryMutex());
        make = factory();
    }
    std::shared_ptr<ScriptEngine> engine = make ? make() : nullptr;
    if (!engine) engine = std::make_shared<HeadlessScriptEngine>(std::move(applicationNameForUserAgent));
    return std::make_shared<WebView>(frame, std::move(engine));
}

void WebView::setScriptEngineFactory(std::function<std::shared_ptr<ScriptEngine>()> f) {
    std::lock_guard lock(factoryMutex());
    factory() = std::move(f);
}

void WebView::evaluateJavaScript(const std::string& script, ScriptCompletion completion) {
    auto self = shared_from_this();
    engine_->evaluate(script, [self, completion = std::move(completion)](const Value& result,
                                                                         const std::optional<std::string>& error) {
        Queue::main().async([self, completion, result, error] {
            if (completion) completion(result, error);
        });
    });
}

}  // namespace qm::platform
