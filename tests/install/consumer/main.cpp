// A minimal host app built against an installed quelmar: configures the platform the way
// a host does, starts the library and serves the main run loop until its requests are done.
//
//   consumer --bundle DIR --sandbox DIR [--service HOST:PORT --ca FILE]
//
// Prints every log line of the library. Exits 0 once the library is idle.
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

#include "qmplatform/configuration.hpp"
#include "quelmar/quelmar.hpp"

namespace pf = qm::platform;

int main(int argc, char** argv) {
    std::string bundleDir, sandboxDir, serviceAddress, caFile;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view option = argv[i];
        if (option == "--bundle") bundleDir = argv[i + 1];
        else if (option == "--sandbox") sandboxDir = argv[i + 1];
        else if (option == "--service") serviceAddress = argv[i + 1];
        else if (option == "--ca") caFile = argv[i + 1];
    }
    if (bundleDir.empty() || sandboxDir.empty()) {
        std::fprintf(stderr, "usage: consumer --bundle DIR --sandbox DIR [--service HOST:PORT --ca FILE]\n");
        return 2;
    }

    pf::Configuration config;
    config.mainBundlePath = bundleDir;
    config.sandboxPath = sandboxDir;
    if (!serviceAddress.empty()) config.serviceAddress = serviceAddress;
    if (!caFile.empty()) config.caFile = caFile;
    config.logSink = [](std::string_view line) { std::cout << line << std::endl; };
    if (!pf::configure(std::move(config))) {
        std::fprintf(stderr, "consumer: cannot use bundle %s or sandbox %s\n", bundleDir.c_str(), sandboxDir.c_str());
        return 1;
    }

    qm::quelmar::Initialize(qm::Value("live"));

    // Answers come back to the main run loop, which the stop serves until the requests in
    // flight are done (at most 30 seconds).
    const bool finished = qm::quelmar::stop(30);
    std::cout << "consumer: done" << std::endl;
    return finished ? 0 : 1;
}
