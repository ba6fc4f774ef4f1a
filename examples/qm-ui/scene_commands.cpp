#include "scene_commands.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "qmmedia/media.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/screen.hpp"
#include "qmplatform/window.hpp"
#include "qmui/layer.hpp"
#include "qmui/layout_constraint.hpp"
#include "qmui/picture.hpp"
#include "qmui/render.hpp"
#include "qmui/scene.hpp"
#include "qmui/view.hpp"

namespace qmui {

namespace pf = qm::platform;

namespace {

int fail(const std::string& message) {
    std::printf("{\"error\": %s}\n", pf::json::write(qm::Value(message)).value_or("\"\"").c_str());
    return 1;
}

// Loads the scene with the platform set up as a host would: this thread is the main thread,
// pictures decode with the media library's codec.
std::optional<pf::Scene> load(const std::string& path) {
    pf::RunLoop::main().setMainThread();
    pf::ImageCodec::setCurrent(pf::media::imageCodec());
    std::vector<std::string> errors;
    auto scene = pf::loadSceneFile(path, &errors);
    for (const auto& e : errors) std::fprintf(stderr, "qm-ui: %s\n", e.c_str());
    return scene;
}

}  // namespace

int runLayout(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1) {
        std::fprintf(stderr, "usage: qm-ui layout FILE.json\n");
        return 2;
    }
    auto scene = load(arguments[0]);
    if (!scene) return fail("cannot read the scene " + arguments[0]);
    qm::Value frames = qm::Value::dictionary();
    for (const auto& [name, f] : scene->frames()) {
        frames.set(name, qm::Value{{"x", f.x}, {"y", f.y}, {"width", f.width}, {"height", f.height}});
    }
    qm::Value broken = qm::Value::array();
    for (const auto& c : pf::brokenConstraints(*scene->root)) broken.append(qm::Value(c->description()));
    const qm::Value out{{"frames", frames}, {"broken", broken}};
    std::printf("%s\n", pf::json::write(out).value_or("{}").c_str());
    return 0;
}

int runDraw(const std::vector<std::string>& arguments) {
    std::vector<std::string> positional;
    double time = 0;
    int sheet = 0;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--time" && i + 1 < arguments.size()) {
            char* end = nullptr;
            time = std::strtod(arguments[++i].c_str(), &end);
            if (!std::isfinite(time) || time < 0 || time > 3600) return fail("--time takes seconds from 0 to 3600");
        } else if (arguments[i] == "--sheet" && i + 1 < arguments.size()) {
            sheet = std::atoi(arguments[++i].c_str());
            if (sheet < 2 || sheet > 64) return fail("--sheet takes 2 to 64 frames");
        } else {
            positional.push_back(arguments[i]);
        }
    }
    if (positional.size() != 2) {
        std::fprintf(stderr, "usage: qm-ui draw FILE.json OUT.png [--time SECONDS] [--sheet STEPS]\n");
        return 2;
    }
    const double start = pf::Layer::currentTime();
    auto scene = load(positional[0]);
    if (!scene) return fail("cannot read the scene " + positional[0]);
    scene->root->layoutIfNeeded();
    pf::RenderOptions options;
    options.background = pf::Color::black();
    pf::Bitmap picture;
    if (sheet > 0) {
        picture = pf::renderContactSheet(*scene->root, start, start + time, sheet, options);
    } else {
        options.time = start + time;
        picture = pf::renderWindow(*scene->window, options);
    }
    if (picture.empty() || !pf::writePNG(picture, positional[1])) return fail("cannot draw into " + positional[1]);
    std::printf("{\"width\": %d, \"height\": %d}\n", picture.width, picture.height);
    return 0;
}

}  // namespace qmui
