// qm-extension: a notification-service extension host for the library.
//
//   qm-extension --bundle EXTENSION_APP --sandbox DIR [--service HOST:PORT --ca FILE]
//                [--identifier ID] [--deadline SECONDS] PAYLOAD.json
//
// The extension is a process of its own, as on a phone: its bundle (EXTENSION_APP, with an
// Info.plist naming the app group in "qmAppGroupKey") and sandbox are its own, and a sandbox
// folder beside the app's (the same parent folder) shares the app's app-group suite. The
// payload is the push's user info; its "aps" / "alert" gives the title and body. The host
// hands the push to the library as the system hands it to an extension, waits for the content
// (at most --deadline seconds, 30 by default, as the system does; then the best attempt is
// shown), lets the library's reports finish and then prints the content to show as one JSON
// object on a line of its own:
//
//   {"title":…, "body":…, "badge":…, "userInfo":{…},
//    "attachments":[{"identifier":…, "type":"image"|"audio"|"video", "file":…}]}
//
// The library's log goes to standard error. Exit status 0 when content was printed, 1 when the
// host could not start, 2 for a wrong command line.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "push_payload.hpp"
#include "settle.hpp"
#include "qmmedia/media.hpp"
#include "qmmedia/media_probe.hpp"
#include "qmplatform/configuration.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/url_session.hpp"
#include "qmplatform/user_notifications.hpp"
#include "quelmar/quelmar.hpp"

namespace {

namespace pf = qm::platform;
using qm::Value;

int usage() {
    std::fprintf(stderr,
                 "usage: qm-extension --bundle EXTENSION_APP --sandbox DIR [--service HOST:PORT --ca FILE]\n"
                 "                    [--identifier ID] [--deadline SECONDS] PAYLOAD.json\n");
    return 2;
}

Value describe(const pf::NotificationContent& content) {
    Value attachments = Value::array();
    for (const auto& attachment : content.attachments) {
        if (!attachment) continue;
        attachments.append(Value{{"identifier", attachment->identifier()},
                                 {"type", pf::attachmentTypeName(attachment->type())},
                                 {"file", attachment->path()}});
    }
    return Value{{"title", content.title},
                 {"body", content.body},
                 {"badge", content.badge.isNumber() ? content.badge : Value::null()},
                 {"userInfo", content.userInfo.isDictionary() ? content.userInfo : Value::dictionary()},
                 {"attachments", attachments}};
}


}  // namespace

int main(int argc, char** argv) {
    std::string bundleDir, sandboxDir, serviceAddress, caFile, identifier, payloadFile;
    double deadline = 30;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--bundle" && i + 1 < argc) bundleDir = argv[++i];
        else if (a == "--sandbox" && i + 1 < argc) sandboxDir = argv[++i];
        else if (a == "--service" && i + 1 < argc) serviceAddress = argv[++i];
        else if (a == "--ca" && i + 1 < argc) caFile = argv[++i];
        else if (a == "--identifier" && i + 1 < argc) identifier = argv[++i];
        else if (a == "--deadline" && i + 1 < argc) deadline = std::strtod(argv[++i], nullptr);
        else if (a == "--help" || a == "-h") return usage();
        else if (payloadFile.empty() && a.rfind("--", 0) != 0) payloadFile = a;
        else return usage();
    }
    if (bundleDir.empty() || sandboxDir.empty() || payloadFile.empty()) return usage();
    if (!(deadline > 0)) deadline = 30;
    // As for qm-host, the environment stands in for --service and --ca.
    if (const char* address = std::getenv("QM_SERVICE_ADDRESS"); serviceAddress.empty() && address && *address) {
        serviceAddress = address;
    }
    if (const char* ca = std::getenv("QM_SERVICE_CA"); caFile.empty() && ca && *ca) caFile = ca;

    pf::Configuration config;
    config.mainBundlePath = bundleDir;
    config.sandboxPath = sandboxDir;
    if (!serviceAddress.empty()) config.serviceAddress = serviceAddress;
    if (!caFile.empty()) config.caFile = caFile;
    config.logSink = [](std::string_view line) { std::cerr << line << std::endl; };
    // Attachments are checked by reading them.
    config.mediaProbe = pf::media::mediaProbe();
    if (!pf::configure(std::move(config))) {
        std::fprintf(stderr, "qm-extension: cannot use bundle folder %s or sandbox folder %s\n", bundleDir.c_str(),
                     sandboxDir.c_str());
        return 1;
    }
    auto payload = qm::examples::readPayload(payloadFile, std::cerr);
    if (!payload) return 1;
    if (identifier.empty()) identifier = pf::Device::makeUUID();

    auto request = pf::UserNotificationRequest::requestWithIdentifier(identifier, qm::examples::contentOf(*payload));
    auto bestAttempt = request->content()->mutableCopy();
    // Shared with the handler, which may still be called after the deadline.
    struct Outcome {
        std::mutex mutex;
        std::shared_ptr<pf::NotificationContent> content;
        std::atomic<int> calls{0};
    };
    auto outcome = std::make_shared<Outcome>();
    qm::quelmar::LoadAttachmentWithRequest(request, bestAttempt, [outcome](const std::shared_ptr<pf::NotificationContent>& content) {
        std::lock_guard lock(outcome->mutex);
        if (outcome->calls++ == 0) outcome->content = content;
    });
    const bool inTime = pf::RunLoop::main().runUntil([&] { return outcome->calls.load() > 0; }, deadline);
    std::shared_ptr<pf::NotificationContent> shown;
    {
        std::lock_guard lock(outcome->mutex);
        shown = outcome->content ? outcome->content : bestAttempt;
    }
    if (!inTime) std::cerr << "qm-extension: no content within " << deadline << " s; the best attempt is shown" << std::endl;

    // The view report and the record of the push may still be on their way; the content is
    // printed after them, so that no log line runs into it.
    qm::examples::settle(20);
    qm::quelmar::stop(5);
    auto text = pf::json::write(describe(*shown));
    std::cout << (text ? *text : std::string("{}")) << std::endl;
    if (outcome->calls.load() > 1)
        std::cerr << "qm-extension: the content handler was called " << outcome->calls.load() << " times" << std::endl;
    return 0;
}
