// Writes keys into a preferences suite from a separate process.
//
//   qm_prefs_writer SANDBOX_DIR SUITE PREFIX COUNT
//                   [exit-flush | soon | flush-then-kill | die-after=MICROSECONDS]
//
// Sets PREFIX0 .. PREFIX<COUNT-1> to 0 .. COUNT-1, each followed by synchronize(). With
// "exit-flush" it never calls synchronize() and leaves the writing to process exit. With
// "soon" each key is followed by synchronizeSoon() instead, and the process exits right
// after the last one, whatever the flush thread is doing. With "flush-then-kill" it writes
// all keys with one flushAll() and then kills itself (SIGKILL, no exit handlers). With
// "die-after=N" a timer signal ends the process abruptly (no exit handlers) N microseconds
// after its first key was written, wherever the writes that follow happen to be.
// Exits 0 on success, 1 when a write failed, 2 on bad arguments.
#include <sys/time.h>

#include <csignal>
#include <cstdio>
#include <string_view>
#include <cstdlib>
#include <string>

#include "qmplatform/preferences.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/system_log.hpp"

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr,
                     "usage: %s SANDBOX_DIR SUITE PREFIX COUNT [exit-flush | soon | flush-then-kill | "
                     "die-after=MICROSECONDS]\n",
                     argv[0]);
        return 2;
    }
    const std::string mode = argc == 6 ? argv[5] : "";
    const bool soon = mode == "soon";
    const bool flushThenKill = mode == "flush-then-kill";
    const bool exitFlush = mode == "exit-flush" || flushThenKill;
    const long dieAfter = mode.rfind("die-after=", 0) == 0 ? std::strtol(mode.c_str() + 10, nullptr, 10) : 0;
    const long count = std::strtol(argv[4], nullptr, 10);
    if (count < 0 || (argc == 6 && !exitFlush && !soon && dieAfter <= 0)) return 2;

    // Log lines go to stderr, which the test reads, not to the machine's system log.
    qm::platform::SystemLog::setSink([](std::string_view line) { std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data()); });
    qm::platform::Sandbox::configure(argv[1]);
    auto& suite = qm::platform::UserDefaults::suite(argv[2]);
    const std::string prefix = argv[3];
    for (long i = 0; i < count; ++i) {
        suite.setInteger(i, prefix + std::to_string(i));
        if (soon) {
            suite.synchronizeSoon();
        } else if (!exitFlush && !suite.synchronize()) {
            return 1;
        }
        if (dieAfter > 0 && i == 0) {
            // SIGALRM's default action ends the process at once, like a kill.
            itimerval timer{};
            timer.it_value.tv_sec = dieAfter / 1000000;
            timer.it_value.tv_usec = dieAfter % 1000000;
            setitimer(ITIMER_REAL, &timer, nullptr);
        }
    }
    if (flushThenKill) {
        if (!qm::platform::UserDefaults::flushAll(60)) return 1;
        std::raise(SIGKILL);
    }
    return 0;
}
