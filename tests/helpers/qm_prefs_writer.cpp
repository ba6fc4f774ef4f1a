// Writes keys into a preferences suite from a separate process.
//
//   qm_prefs_writer SANDBOX_DIR SUITE PREFIX COUNT [exit-flush]
//
// Sets PREFIX0 .. PREFIX<COUNT-1> to 0 .. COUNT-1, each followed by synchronize(). With
// "exit-flush" it never calls synchronize() and leaves the writing to process exit.
// Exits 0 on success, 1 when a write failed, 2 on bad arguments.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qmplatform/preferences.hpp"
#include "qmplatform/sandbox.hpp"

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: %s SANDBOX_DIR SUITE PREFIX COUNT [exit-flush]\n", argv[0]);
        return 2;
    }
    const bool exitFlush = argc == 6 && std::string(argv[5]) == "exit-flush";
    const long count = std::strtol(argv[4], nullptr, 10);
    if (count < 0 || (argc == 6 && !exitFlush)) return 2;

    qm::platform::Sandbox::configure(argv[1]);
    auto& suite = qm::platform::UserDefaults::suite(argv[2]);
    const std::string prefix = argv[3];
    for (long i = 0; i < count; ++i) {
        suite.setInteger(i, prefix + std::to_string(i));
        if (!exitFlush && !suite.synchronize()) return 1;
    }
    return 0;
}
