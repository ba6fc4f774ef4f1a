// A second process sharing the app-group suite with a test, as a notification-service
// extension does with its app.
//
//   qm_push_counter SANDBOX_DIR GROUPS_DIR BUNDLE_DIR count COUNT
//       COUNT times: sets one of its own keys, "qm_testKey<pid>_<i mod 50>" to i, and numbers
//       an arriving push (the badge count).
//   qm_push_counter SANDBOX_DIR GROUPS_DIR BUNDLE_DIR click NOTIFICATION_ID SERVICE_ADDRESS CA_FILE
//       reports a push click and exits as soon as the click's background request is stored,
//       as an app killed right after the tap.
// Exits 0 on success, 1 when the work could not be done, 2 on bad arguments.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "push/QMSDKPushBadgeHandler.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/preferences.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/system_log.hpp"
#include "qmplatform/url_session.hpp"

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s SANDBOX_DIR GROUPS_DIR BUNDLE_DIR (count COUNT | click NID ADDRESS CA_FILE)\n", argv[0]);
        return 2;
    }
    qm::platform::SystemLog::setSink([](std::string_view line) { std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data()); });
    qm::platform::Sandbox::configure(argv[1], argv[2]);
    qm::platform::Bundle::setMainBundlePath(argv[3]);
    const std::string mode = argv[4];
    auto& group = *qm::QMSDKUserDefaultsData::sharedInstance().qmAppGroupServiceExtUserDefaults;

    if (mode == "count" && argc == 6) {
        const long count = std::strtol(argv[5], nullptr, 10);
        const std::string own = "qm_testKey" + std::to_string(getpid()) + "_";
        for (long i = 0; i < count; ++i) {
            group.setInteger(i, own + std::to_string(i % 50));
            qm::QMSDKPushBadgeHandler::sharedInstance().qmGetCurrentPushBadgeNumberCount();
        }
        return group.synchronize() ? 0 : 1;
    }
    if (mode == "click" && argc == 8) {
        qm::platform::URLSession::setConnectTo(std::string(argv[6]));
        qm::platform::URLSession::setCAFile(std::string(argv[7]));
        auto engine = std::make_shared<qm::qmInternalProcessClass>();
        engine->PushNotificationStatisticsWithStatsApiUrl(qm::Value(), argv[5], "clicks", "S-1", 1);
        // The request is built on a global queue; once its session is stored it survives us.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (qm::platform::URLSession::pendingBackgroundSessionIdentifiers().empty()) {
            if (std::chrono::steady_clock::now() > deadline) return 1;
            std::this_thread::yield();
        }
        qm::platform::UserDefaults::flushAll(5);
        _exit(0);
    }
    return 2;
}
