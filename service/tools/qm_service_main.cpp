// qm-service: runs the local counterpart of the marketing service until SIGINT or SIGTERM.
//
//   qm-service --port PORT --state DIR [--fixtures DIR] [--set NAME] [--domain DOMAIN] [--quiet]
//
// Prints "listening on https://127.0.0.1:PORT" once it serves, writes the CA certificate that
// clients must trust to DIR/ca.pem and, unless --quiet, one line per request.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "qmservice/local_service.hpp"

namespace {

int usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s --port PORT --state DIR [--fixtures DIR] [--set NAME] [--domain DOMAIN] [--quiet]\n",
                 program);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    qm::service::LocalService::Options options;
    bool quiet = false;
    bool havePort = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--port" && hasValue) {
            char* end = nullptr;
            const long port = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || port < 0 || port > 65535) return usage(argv[0]);
            options.port = static_cast<int>(port);
            havePort = true;
        } else if (arg == "--state" && hasValue) {
            options.stateDir = argv[++i];
        } else if (arg == "--fixtures" && hasValue) {
            options.fixturesDir = argv[++i];
        } else if (arg == "--set" && hasValue) {
            options.fixtureSet = argv[++i];
        } else if (arg == "--domain" && hasValue) {
            options.domain = argv[++i];
        } else if (arg == "--quiet") {
            quiet = true;
        } else {
            return usage(argv[0]);
        }
    }
    if (!havePort || options.stateDir.empty()) return usage(argv[0]);

    if (!quiet) {
        options.observer = [](const qm::service::RecordedRequest& request) {
            std::printf("%s https://%s%s [%s]\n", request.method.c_str(), request.host.c_str(),
                        request.path.c_str(),
                        request.service.empty() ? "-" : request.service.c_str());
            std::fflush(stdout);
        };
    }

    // The signals are taken with sigwait below; block them before the server threads start
    // so that they inherit the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    qm::service::LocalService service(options);
    if (!service.start()) {
        std::fprintf(stderr, "qm-service: %s\n", service.lastError().c_str());
        return 1;
    }
    std::printf("listening on https://%s\n", service.address().c_str());
    std::printf("domain %s, CA certificate %s\n", service.domain().c_str(),
                service.caFile().c_str());
    std::fflush(stdout);

    int received = 0;
    sigwait(&signals, &received);
    service.stop();
    std::printf("stopped\n");
    return 0;
}
