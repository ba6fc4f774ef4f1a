// Starts one background push-statistics request through the library and exits at once,
// as an app that is suspended and killed right after a push click.
//
//   qm_bg_click SANDBOX_DIR SERVICE_ADDRESS CA_FILE NOTIFICATION_ID
#include <unistd.h>

#include <cstdio>
#include <string_view>

#include "core/QMSDKNetworkManager.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/system_log.hpp"
#include "qmplatform/url_session.hpp"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s SANDBOX_DIR SERVICE_ADDRESS CA_FILE NOTIFICATION_ID\n", argv[0]);
        return 2;
    }
    // Log lines go to stderr, which the test reads, not to the machine's system log.
    qm::platform::SystemLog::setSink([](std::string_view line) { std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data()); });
    qm::platform::Sandbox::configure(argv[1]);
    qm::platform::URLSession::setConnectTo(std::string(argv[2]));
    qm::platform::URLSession::setCAFile(std::string(argv[3]));
    auto engine = std::make_shared<qm::qmInternalProcessClass>();
    const std::string nid = argv[4];
    engine->qmHitAPIRequestWithBackgroundSupportforUrlString(
        qm::QMSDKNetworkManager::sharedInstance().qmRecordPushStatisticsDefaultApiURLString(), "qm_bg_click",
        "bid=1234&type=clicks&nid=" + nid, 0, "qmSessionBgTaskPushStats_" + nid);
    _exit(0);
}
