#include "screen_verbs.hpp"

#include <chrono>
#include <iostream>
#include <vector>

#include "qmplatform/dispatch.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/window.hpp"
#include "qmui/button.hpp"
#include "qmui/gesture.hpp"
#include "qmui/image_view.hpp"
#include "qmui/label.hpp"
#include "qmui/picture.hpp"
#include "qmui/render.hpp"
#include "qmui/view.hpp"
#include "qmweb/web_view.hpp"

namespace qmhost {

namespace pf = qm::platform;
using qm::Value;

namespace {

void printTree(const std::shared_ptr<pf::View>& view, const std::string& path) {
    const pf::Rect f = view->frame();
    Value line{{"path", path},
               {"class", view->className()},
               {"tag", view->tag()},
               {"frame", Value{{"x", f.x}, {"y", f.y}, {"width", f.width}, {"height", f.height}}},
               {"alpha", view->alpha()},
               {"hidden", view->isHidden()}};
    if (auto label = std::dynamic_pointer_cast<pf::Label>(view)) line.set("text", label->text());
    if (auto button = std::dynamic_pointer_cast<pf::Button>(view)) {
        if (auto title = button->currentTitle()) line.set("text", *title);
    }
    if (auto web = std::dynamic_pointer_cast<pf::WebView>(view)) line.set("url", web->URL());
    if (auto image = std::dynamic_pointer_cast<pf::ImageView>(view); image && !image->sourceURL.empty()) {
        line.set("url", image->sourceURL);
    }
    std::cout << pf::json::write(line).value_or("{}") << std::endl;
    const auto children = view->subviews();
    for (std::size_t i = 0; i < children.size(); ++i) printTree(children[i], path + "/" + std::to_string(i));
}

void collectButtons(const std::shared_ptr<pf::View>& view, std::vector<std::shared_ptr<pf::Button>>& out) {
    if (auto button = std::dynamic_pointer_cast<pf::Button>(view)) {
        out.push_back(button);
        return;  // a button's own title label and image view are not buttons
    }
    for (const auto& child : view->subviews()) collectButtons(child, out);
}

bool tapView(pf::View& root, const std::shared_ptr<pf::View>& view) {
    if (!view || view->isHidden()) {
        std::cout << "tap: nothing to tap" << std::endl;
        return false;
    }
    const pf::Rect r = view->convertRectTo(view->bounds(), &root);
    if (pf::tap(root, {r.x + r.width / 2, r.y + r.height / 2})) return true;
    std::cout << "tap: the tap reached nothing (is the view on screen yet?)" << std::endl;
    return false;
}

}  // namespace

void printViews(pf::Window& window) { printTree(pf::viewOf(window), "0"); }

std::shared_ptr<pf::View> campaignView(pf::Window& window) {
    std::shared_ptr<pf::View> found;
    for (const auto& view : pf::viewOf(window)->subviews()) {
        if (view->className() == "qmInAppPopupView" || view->className() == "qmSurveyModalPopupView") found = view;
    }
    return found;
}

std::string describeCampaign(pf::Window& window) {
    auto campaign = campaignView(window);
    if (!campaign) return "nothing";
    if (campaign->className() == "qmSurveyModalPopupView") return "survey " + std::to_string(campaign->tag());
    const auto panels = campaign->subviews();
    return "campaign " + std::to_string(panels.empty() ? 0 : panels.front()->tag());
}

bool tapTarget(pf::Window& window, const std::string& what) {
    auto root = pf::viewOf(window);
    root->layoutIfNeeded();
    if (what.empty() || (what[0] >= '0' && what[0] <= '9')) {
        // A view path: "0" is the window's view.
        std::shared_ptr<pf::View> view = root;
        std::size_t at = what.find('/');
        while (view && at != std::string::npos) {
            const std::size_t next = what.find('/', at + 1);
            const std::string index = what.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
            const auto children = view->subviews();
            char* end = nullptr;
            const unsigned long i = std::strtoul(index.c_str(), &end, 10);
            view = (end && *end == '\0' && !index.empty() && i < children.size()) ? children[i] : nullptr;
            at = next;
        }
        if (what != "0" && what.rfind("0", 0) != 0) view = nullptr;
        return tapView(*root, view);
    }
    auto campaign = campaignView(window);
    if (!campaign) {
        std::cout << "tap: no in-app campaign is on screen" << std::endl;
        return false;
    }
    if (what == "outside" && campaign->className() == "qmSurveyModalPopupView") {
        // The survey's backdrop covers the window around its panel.
        return pf::tap(*root, {2, 2});
    }
    if (what == "outside") {
        // The first corner of the campaign view that its panel does not cover.
        const auto panel = campaign->subviews().empty() ? nullptr : campaign->subviews().front();
        const pf::Rect bounds = campaign->bounds();
        for (pf::Point p : {pf::Point{bounds.x + 2, bounds.y + 2}, pf::Point{bounds.x + bounds.width - 2, bounds.y + bounds.height - 2}}) {
            if (panel && panel->frame().contains(p)) continue;
            return pf::tap(*root, campaign->convertPointTo(p, root.get()));
        }
        std::cout << "tap: the campaign's panel covers its whole view" << std::endl;
        return false;
    }
    std::vector<std::shared_ptr<pf::Button>> buttons;
    collectButtons(campaign, buttons);
    // The popup names its buttons; the survey's one button closes it.
    std::shared_ptr<pf::Button> first, second, close;
    for (const auto& b : buttons) {
        const std::string& name = b->accessibilityIdentifier();
        if (name == "qmInAppPopupFirstCtaBtn") first = b;
        else if (name == "qmInAppPopupSecondCtaBtn") second = b;
        else if (name == "qmInAppPopupCloseBtn" || !b->currentTitle() || b->currentTitle()->empty()) close = b;
    }
    if (what == "close") return tapView(*root, close);
    if (what == "cta1") return tapView(*root, first);
    if (what == "cta2") return tapView(*root, second);
    std::cout << "tap: unknown target " << what << std::endl;
    return false;
}

namespace {
void collectWebViews(const std::shared_ptr<pf::View>& view, std::vector<std::shared_ptr<pf::WebView>>& out) {
    if (auto web = std::dynamic_pointer_cast<pf::WebView>(view)) out.push_back(web);
    for (const auto& child : view->subviews()) collectWebViews(child, out);
}
}  // namespace

bool writeSnapshot(pf::Window& window, const std::string& path) {
    auto root = pf::viewOf(window);
    root->layoutIfNeeded();
    // Pages are drawn as their engine shows them now: each web view takes a fresh snapshot
    // first (a page that does not answer within 10 seconds keeps its last one).
    std::vector<std::shared_ptr<pf::WebView>> webViews;
    collectWebViews(root, webViews);
    std::size_t answered = 0;
    for (const auto& web : webViews) {
        web->takeSnapshot([&answered](const std::string&, const std::optional<std::string>&) { ++answered; });
    }
    pf::RunLoop::main().runUntil([&] { return answered == webViews.size(); }, 10);
    // The host app's own screens draw nothing: a white page stands in for them.
    pf::RenderOptions options;
    options.background = pf::Color::whiteColor();
    const pf::Bitmap picture = pf::renderWindow(window, options);
    return !picture.empty() && pf::writePNG(picture, path);
}

namespace {
bool animating(pf::View& view) {
    if (view.layer().hasAnimations()) return true;
    for (const auto& child : view.subviews()) {
        if (animating(*child)) return true;
    }
    return false;
}
}  // namespace

bool waitUntilEntered(pf::Window& window, double seconds) {
    auto& loop = pf::RunLoop::main();
    const auto settled = [&] {
        auto campaign = campaignView(window);
        if (!campaign) return true;
        std::vector<std::shared_ptr<pf::WebView>> webViews;
        collectWebViews(campaign, webViews);
        // A page that has not started loading yet counts as loading.
        for (const auto& web : webViews) {
            if (web->isLoading() || web->URL().empty()) return false;
        }
        return !animating(*campaign);
    };
    // The entrance starts a moment after the page has loaded (once it has been measured):
    // settled means quiet for a while, not just between the two.
    const auto begin = std::chrono::steady_clock::now();
    auto quietSince = begin;
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() < seconds) {
        loop.runFor(0.05);
        const auto now = std::chrono::steady_clock::now();
        if (!settled()) quietSince = now;
        else if (std::chrono::duration<double>(now - quietSince).count() >= 0.4) return true;
    }
    return false;
}

std::optional<Value> runInCampaignPage(pf::Window& window, const std::string& script) {
    auto campaign = campaignView(window);
    std::vector<std::shared_ptr<pf::WebView>> webViews;
    if (campaign) collectWebViews(campaign, webViews);
    if (webViews.empty()) {
        std::cout << "page: no campaign page is on screen" << std::endl;
        return std::nullopt;
    }
    bool answered = false;
    std::optional<std::string> failure;
    Value answer;
    webViews.front()->evaluateJavaScript(script, [&](const Value& result, const std::optional<std::string>& error) {
        answer = result;
        failure = error;
        answered = true;
    });
    pf::RunLoop::main().runUntil([&] { return answered; }, 10);
    if (!answered || failure) {
        std::cout << "page: the script failed: " << (failure ? *failure : std::string("no answer")) << std::endl;
        return std::nullopt;
    }
    return answer;
}

bool writeEntranceSheet(pf::Window& window, const std::string& path, int frames, double seconds) {
    auto& loop = pf::RunLoop::main();
    // The entrance starts once the campaign's content has loaded.
    const bool started = loop.runUntil([&] {
        auto campaign = campaignView(window);
        return campaign && animating(*campaign);
    }, 10);
    if (!started) return false;
    auto root = pf::viewOf(window);
    pf::RenderOptions options;
    options.background = pf::Color::whiteColor();
    options.scale = 1;
    // Frames are taken as the clock runs, so that stages chained on completions show too.
    std::vector<pf::Bitmap> pictures;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < frames; ++i) {
        const auto due = begin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(seconds * i / (frames - 1)));
        loop.runUntil([due] { return std::chrono::steady_clock::now() >= due; }, seconds + 1);
        root->layoutIfNeeded();
        pictures.push_back(pf::renderWindow(window, options));
        if (pictures.back().empty()) return false;
    }
    // One row, left to right, a 4-pixel gap between frames.
    const int w = pictures.front().width, h = pictures.front().height, gap = 4;
    pf::Bitmap sheet(frames * w + (frames - 1) * gap, h, 0xff808080u);
    for (int i = 0; i < frames; ++i) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) sheet.at(i * (w + gap) + x, y) = pictures[i].at(x, y);
        }
    }
    return pf::writePNG(sheet, path);
}

}  // namespace qmhost
