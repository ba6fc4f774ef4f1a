// What the verbose log shows of a whole session against the local service.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/QMRuntime.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "library_fixture.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/preferences.hpp"
#include "quelmar/quelmar.hpp"

using namespace qm;

namespace {

const char* kSecretKey = "sk-quietly-secret-key-for-logs";  // 30 characters
const std::string kEllipsis = "\xE2\x80\xA6";

struct Results : quelmarDelegate {
    std::vector<Value> received;
    void quelmarEventsResponseCallback(const Value& v) override { received.push_back(v); }
};

}  // namespace

TEST(LogRedaction, VerboseSessionLogsNoSecretsButKeepsTheirShape) {
    testkit::TestHost::Options options;
    options.info.set("qmLogsLevel", "VERBOSE");
    options.info.set("qmSecretKey", kSecretKey);
    testkit::ServiceHost env(options);
    auto results = std::make_shared<Results>();
    quelmar::sharedInstance().delegate = results;
    auto& host = env.host;

    // Start-up: click fetch (its answer carries the analytics id) and settings (cookies).
    quelmar::Initialize("live");
    auto engine = QMRuntime::shared().qmInternalProcess();
    ASSERT_TRUE(host.runUntil([&] { return engine->fetchBrandSettingsComplete() && engine->fetchClickComplete(); }));

    // A campaign link with its own analytics id (settings are fetched again with it).
    quelmar::OpenUrlWithApplication(nullptr, "shopapp://Offers?qm_anal_id=link-anal-qz&utm_source=mail");
    ASSERT_TRUE(env.waitForRequests("settings", 2));
    // Settings fetched for a push click go through a background session, whose answer is
    // dumped when it is applied.
    engine->qmFetchSettingsWithPushClId(Value("push-click-qz"));
    const std::string settingsURL = "requestUrl = \"https://mobile.quelmar.io/mobile/api_v2/settings\"";
    ASSERT_TRUE(host.runUntil([&] { return host.logCount(settingsURL) >= 3; }));
    // An identified user with parameters, and an event with attributes.
    quelmar::UserIdentifier("bob.qz", Value{{"email", "bob@quux.org"}, {"tier", "platinum-qz"}});
    auto& library = *QMSDKUserDefaultsData::sharedInstance().qmSDKStdUserDefaults;
    ASSERT_TRUE(host.runUntil([&] { return library.objectForKey("qm_userID") == Value("bob.qz"); }));
    quelmar::trackEvents("purchase", Value{{"card", "visa-qz"}}, "19.99", 2);
    ASSERT_TRUE(host.runUntil([&] {
        return std::any_of(results->received.begin(), results->received.end(),
                           [](const Value& r) { return r["eventName"] == Value("purchase"); });
    }));

    const std::string vendorID = platform::Device::current().identifierForVendor();
    ASSERT_GE(vendorID.size(), 16u);
    const std::vector<std::string> secrets{kSecretKey,
                                           vendorID,
                                           "5e0b7a61c94d42f8",  // the click answer's analytics id
                                           "link-anal-qz",
                                           "push-click-qz",
                                           "bob.qz",
                                           "quux",
                                           "platinum-qz",
                                           "visa-qz",
                                           "sess.1001.5f2c9a",  // the settings answer's cookies
                                           "uid.1001.8d41e0"};
    const std::vector<std::string> lines = host.logLines();
    for (const std::string& line : lines) {
        for (const std::string& secret : secrets) EXPECT_EQ(line.find(secret), std::string::npos) << secret << " in " << line;
    }

    // Requests and answers are still dumped, with the ordinary fields as sent and the
    // secret ones shaped like the values they stand for.
    auto logged = [&](const std::string& text) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.rfind("[quelmar]-[VERBOSE]: {", 0) == 0 && line.find(text) != std::string::npos;
        });
    };
    const std::string vendorStart = vendorID.substr(0, 3) + kEllipsis + "(" + std::to_string(vendorID.size()) + ")#";
    for (const std::string& shown : {"queryParams = \"bid=1234&bid_e=sk-" + kEllipsis + "(30)#",
                                     "&device=2&deviceID=" + vendorStart,
                                     "clickID=" + kEllipsis + "(12)#",
                                     "&userID=" + kEllipsis + "(6)#",
                                     "&userParams={\\\"email\\\":\\\"" + kEllipsis + "(12)#",
                                     std::string("&event_name=purchase&ltv=19.99"),
                                     "attributes={\\\"card\\\":\\\"" + kEllipsis + "(7)#",
                                     "cookieData=_qm_sess=ses" + kEllipsis + "(16)#",
                                     std::string("requestUrl = \"https://analytics.quelmar.io/mobile/api/user\""),
                                     "qm_anal_id = \"5e0" + kEllipsis + "(16)#",
                                     std::string("Authentication = success;")}) {
        EXPECT_TRUE(logged(shown)) << shown;
    }
}
