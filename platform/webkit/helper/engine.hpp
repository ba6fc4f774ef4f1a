// The helper's engine side: web views in offscreen windows, driven by protocol requests read
// from one descriptor and answered (with events between) on another, all on the GTK main
// loop of the one thread that calls run().
#pragma once

#include <cstdint>
#include <string>

namespace qm::webkit::helper {

struct EngineOptions {
    int inFd = 0;
    int outFd = 1;
    std::int64_t xvfbPid = 0;
    std::string display;
};

// Runs until end of file, a shutdown request, SIGTERM/SIGINT or a lost output; destroys every
// view before it returns. GTK must be initialised.
int runEngine(const EngineOptions& options);

// Writes one fatal event, blocking, before the engine runs (a display that did not start).
void writeFatal(int fd, const std::string& message);

}  // namespace qm::webkit::helper
