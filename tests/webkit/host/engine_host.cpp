// A host for one test: starts the helper engine with one page, prints "HELPER_PID XVFB_PID"
// on standard output once both run (or "0 0" when they cannot), then waits to be killed.
//
//   qm_webkit_engine_host HELPER_PROGRAM
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "qmplatform/dispatch.hpp"
#include "qmweb/helper_engine.hpp"

int main(int argc, char** argv) {
    namespace pf = qm::platform;
    if (argc != 2) return 2;
    pf::HelperEngineOptions options;
    options.helperPath = argv[1];
    auto engine = pf::HelperEngine::create(options);
    pf::WebPageOptions page;
    page.size = {320, 240};
    auto view = engine->createPage(page, {});
    bool ready = false;
    view->evaluate("1", 30, [&](const qm::Value&, const std::optional<pf::WebError>&) { ready = true; });
    pf::RunLoop::main().runUntil([&] { return ready; }, 60);
    std::printf("%ld %ld\n", engine->helperPid().value_or(0), engine->displayServerPid().value_or(0));
    std::fflush(stdout);
    // Until the test kills this process (or closes the pipe).
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}
