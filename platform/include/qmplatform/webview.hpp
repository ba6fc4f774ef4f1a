// Web views. A web view runs scripts in a script engine and answers on the main run loop.
// The headless engine knows the page-level facts the library asks for (the user agent);
// tests install a scripted engine.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "qmplatform/geometry.hpp"
#include "quelmar/value.hpp"

namespace qm::platform {

using ScriptCompletion = std::function<void(const Value& result, const std::optional<std::string>& error)>;

class ScriptEngine {
public:
    virtual ~ScriptEngine() = default;
    // Evaluates a script; calls `done` exactly once, on any thread.
    virtual void evaluate(const std::string& script, ScriptCompletion done) = 0;
};

// The engine used when nothing else is installed: answers "navigator.userAgent" with the
// web view's user agent and reports an error for any other script.
class HeadlessScriptEngine : public ScriptEngine {
public:
    explicit HeadlessScriptEngine(std::string applicationNameForUserAgent = {})
        : applicationName_(std::move(applicationNameForUserAgent)) {}
    void evaluate(const std::string& script, ScriptCompletion done) override;

private:
    std::string applicationName_;
};

class WebView : public std::enable_shared_from_this<WebView> {
public:
    // `applicationNameForUserAgent` ("name/version") ends the user agent the page sees.
    static std::shared_ptr<WebView> create(Rect frame = {}, std::string applicationNameForUserAgent = {});
    // Engines for web views created from now on (nullptr restores the headless engine).
    static void setScriptEngineFactory(std::function<std::shared_ptr<ScriptEngine>()> factory);
    // The user agent web views report, with the application's name and version when given.
    static std::string defaultUserAgent(const std::string& applicationNameForUserAgent = {});

    Rect frame() const { return frame_; }
    // Evaluates the script; the completion runs on the main run loop.
    void evaluateJavaScript(const std::string& script, ScriptCompletion completion);

    explicit WebView(Rect frame, std::shared_ptr<ScriptEngine> engine) : frame_(frame), engine_(std::move(engine)) {}

private:
    Rect frame_;
    std::shared_ptr<ScriptEngine> engine_;
};

}  // namespace qm::platform
