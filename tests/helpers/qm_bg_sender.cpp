// Starts one background download task and ends the process at once, like an app that is
// killed while its transfer is still in flight.
//
//   qm_bg_sender SANDBOX_DIR SESSION_IDENTIFIER URL BODY CONNECT_TO CA_FILE
//
// POSTs BODY to URL with the header "X-Sender: qm_bg_sender". Exits 0 once the task has been
// resumed, 2 on bad arguments.
#include <unistd.h>

#include <cstdio>
#include <string_view>

#include "qmplatform/sandbox.hpp"
#include "qmplatform/system_log.hpp"
#include "qmplatform/url_session.hpp"

using namespace qm::platform;

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s SANDBOX_DIR SESSION_IDENTIFIER URL BODY CONNECT_TO CA_FILE\n", argv[0]);
        return 2;
    }
    // Log lines go to stderr, which the test reads, not to the machine's system log.
    SystemLog::setSink([](std::string_view line) { std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data()); });
    Sandbox::configure(argv[1]);
    URLSession::setConnectTo(std::string(argv[5]));
    URLSession::setCAFile(std::string(argv[6]));
    auto session =
        URLSession::sessionWithConfiguration(URLSessionConfiguration::backgroundSessionConfiguration(argv[2]));
    URLRequest request;
    request.url = argv[3];
    request.httpMethod = "POST";
    request.headers = {{"X-Sender", "qm_bg_sender"}};
    request.body = argv[4];
    session->downloadTaskWithRequest(request)->resume();
    _exit(0);
}
