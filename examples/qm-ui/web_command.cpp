#include "web_command.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

#include "qmplatform/dispatch.hpp"
#include "qmplatform/json.hpp"
#include "qmweb/helper_engine.hpp"
#include "qmweb/web_view.hpp"

namespace qmui {

namespace {

namespace pf = qm::platform;

constexpr std::uintmax_t kMaxHTMLBytes = 16u << 20;
constexpr double kLoadSeconds = 30;
constexpr double kAnswerSeconds = 15;

std::string jsonLine(const qm::Value& value) {
    return pf::json::write(value, {pf::json::WriteStyle::Compact, true}).value_or("null");
}

int fail(const std::string& message) {
    std::fprintf(stderr, "qm-ui: %s\n", message.c_str());
    return 1;
}

// Prints every message the page posts, as it arrives.
class PrintingHandler : public pf::ScriptMessageHandler {
public:
    void userContentController(pf::UserContentController&, const pf::ScriptMessage& message) override {
        std::printf("%s\n", jsonLine(qm::Value{{"name", message.name}, {"body", message.body}}).c_str());
        std::fflush(stdout);
    }
};

class LoadWatcher : public pf::NavigationDelegate {
public:
    void webViewDidFinishNavigation(pf::WebView&, const pf::Navigation&) override { finished = true; }
    void webViewDidFailNavigation(pf::WebView&, const pf::Navigation&, const std::string& message) override {
        failure = "the page did not load: " + message;
    }
    void webViewWebContentProcessDidTerminate(pf::WebView&) override { failure = "the page's process stopped"; }
    bool finished = false;
    std::optional<std::string> failure;
};

struct Arguments {
    std::string html, out;
    double width = 390, height = 844;
    std::vector<std::string> handlers;
};

std::optional<Arguments> parse(const std::vector<std::string>& arguments) {
    Arguments parsed;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if ((a == "--width" || a == "--height") && hasValue) {
            char* end = nullptr;
            const double v = std::strtod(arguments[++i].c_str(), &end);
            if (!end || *end != '\0' || !(v >= 1 && v <= 8192)) return std::nullopt;
            (a == "--width" ? parsed.width : parsed.height) = v;
        } else if (a == "--handler" && hasValue) {
            parsed.handlers.push_back(arguments[++i]);
        } else if (a.starts_with("--")) {
            return std::nullopt;
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 2) return std::nullopt;
    parsed.html = files[0];
    parsed.out = files[1];
    return parsed;
}

}  // namespace

int runWeb(const std::vector<std::string>& arguments) {
    const auto args = parse(arguments);
    if (!args) {
        std::fprintf(stderr, "usage: qm-ui web FILE.html OUT.png [--width W] [--height H] [--handler NAME]...\n");
        return 2;
    }
    std::error_code ec;
    const auto path = std::filesystem::absolute(args->html, ec);
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) return fail("cannot read " + args->html + ": " + ec.message());
    if (size > kMaxHTMLBytes) return fail(args->html + " is larger than 16 MiB");
    std::ifstream in(path, std::ios::binary);
    const std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return fail("cannot read " + args->html);

    std::filesystem::remove(args->out, ec);
    pf::RunLoop::main().setMainThread();
    auto& loop = pf::RunLoop::main();
    if (!pf::HelperEngine::findHelper()) {
        return fail("no web engine: the qm-webkit helper program is not installed (set QM_WEBKIT_HELPER to its path)");
    }
    auto engine = pf::HelperEngine::create();
    if (!engine) return fail("the web engine could not be set up");
    pf::setConfiguredWebEngine(engine);

    auto printer = std::make_shared<PrintingHandler>();
    auto controller = std::make_shared<pf::UserContentController>();
    for (const auto& name : args->handlers) controller->addScriptMessageHandler(printer, name);
    pf::WebViewConfiguration configuration;
    configuration.userContentController = controller;
    auto web = pf::WebView::create({0, 0, args->width, args->height}, configuration);
    auto watcher = std::make_shared<LoadWatcher>();
    web->setNavigationDelegate(watcher);

    // Relative links and pictures resolve next to the file.
    web->loadHTMLString(html, "file://" + path.parent_path().string() + "/");
    int status = 0;
    if (!loop.runUntil([&] { return watcher->finished || watcher->failure.has_value(); }, kLoadSeconds)) {
        status = fail("the page did not finish loading within 30 seconds");
    } else if (watcher->failure) {
        status = fail(*watcher->failure);
    }

    std::optional<double> contentHeight;
    bool snapped = false;
    if (status == 0) {
        // Answers come in the order the page sent them, so messages posted while loading are
        // printed before the height.
        bool answered = false;
        web->evaluateJavaScript("document.body ? document.body.scrollHeight : 0",
                                [&](const qm::Value& value, const std::optional<std::string>& error) {
                                    answered = true;
                                    if (!error && value.isNumber()) contentHeight = value.doubleValue();
                                    else if (error) fail("the content height could not be read: " + *error);
                                });
        web->takeSnapshot([&](const std::string& png, const std::optional<std::string>& error) {
            snapped = true;
            if (error) {
                fail("no snapshot: " + *error);
                return;
            }
            std::ofstream out(args->out, std::ios::binary | std::ios::trunc);
            out.write(png.data(), static_cast<std::streamsize>(png.size()));
            out.close();
            if (!out) fail("cannot write " + args->out);
            else snapped = true;
        });
        if (!loop.runUntil([&] { return answered && snapped; }, kAnswerSeconds)) {
            status = fail("the web engine did not answer within 15 seconds");
        }
        if (contentHeight) {
            std::printf("%s\n", jsonLine(qm::Value{{"contentHeight", *contentHeight}}).c_str());
        } else {
            status = 1;
        }
        if (!std::filesystem::exists(args->out, ec)) status = 1;
    }
    web.reset();
    pf::setConfiguredWebEngine(nullptr);
    engine->shutdown();
    return status;
}

}  // namespace qmui
