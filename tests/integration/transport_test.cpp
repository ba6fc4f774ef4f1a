// The engine's POST routine against the local service over loopback TLS.
#include <gtest/gtest.h>

#include <chrono>

#include "core/QMSDKNetworkManager.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "library_fixture.hpp"
#include "process.hpp"
#include "quelmar/quelmar.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/error.hpp"
#include "qmplatform/url_session.hpp"

using namespace qm;

namespace {
struct Outcome {
    int calls = 0;
    std::vector<std::string> order;
    std::optional<platform::Error> error;
    Value answer;
    bool onMain = true;
};

void post(qmInternalProcessClass& engine, const Value& url, const Value& params, long contentType, Outcome& out) {
    engine.qmHitAPIWithPOSTRequestforUrlString(
        url, "TestAgent/1.0", params, contentType,
        [&out](const Value& answer) {
            out.order.push_back("completion");
            out.answer = answer;
            out.onMain = out.onMain && platform::RunLoop::main().isMainThread();
            ++out.calls;
        },
        [&out](const std::optional<platform::Error>& error) {
            out.order.push_back("failure");
            out.error = error;
            out.onMain = out.onMain && platform::RunLoop::main().isMainThread();
        });
}
}  // namespace

TEST(Transport, PostsHeadersAndEncodedBodyAndDeliversTheAnswerOnMain) {
    testkit::ServiceHost env;
    auto engine = std::make_shared<qmInternalProcessClass>();
    Outcome out;
    post(*engine, QMSDKNetworkManager::sharedInstance().qmRecordEventApiURLString(),
         "bid=5&event_name=big sale&ltv=(null)&q=a=b&c/d?e+f", 1, out);
    ASSERT_TRUE(env.host.runUntil([&] { return out.calls == 1; }));
    EXPECT_EQ(out.order, (std::vector<std::string>{"failure", "completion"}));
    EXPECT_FALSE(out.error);
    EXPECT_TRUE(out.onMain);
    EXPECT_TRUE(out.answer.isDictionary());
    EXPECT_GT(out.answer.count(), 0u);

    auto requests = env.service->requestsFor("event");
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.host, "analytics.quelmar.io");
    EXPECT_EQ(r.path, "/mobile/api/event");
    EXPECT_EQ(r.body, "bid=5&event_name=big%20sale&ltv=&q=a=b&c/d?e+f");
    EXPECT_EQ(r.headers.at("user-agent"), "TestAgent/1.0");
    EXPECT_EQ(r.headers.at("accept"), "application/json");
    EXPECT_EQ(r.headers.at("content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r.headers.at("content-length"), std::to_string(r.body.size()));

    Outcome json;
    post(*engine, QMSDKNetworkManager::sharedInstance().qmRecordEventApiURLString(), "a=1", 0, json);
    ASSERT_TRUE(env.host.runUntil([&] { return json.calls == 1; }));
    EXPECT_EQ(env.service->requestsFor("event").back().headers.at("content-type"), "application/json");
}

TEST(Transport, ServerErrorsWithJsonReachTheCompletionAndOtherBodiesTheFailure) {
    testkit::ServiceHost env;
    auto engine = std::make_shared<qmInternalProcessClass>();
    const Value url = QMSDKNetworkManager::sharedInstance().qmRecordEventApiURLString();

    env.service->setFault("event", {service::FaultKind::ServerError});
    Outcome serverError;
    post(*engine, url, "a=1", 1, serverError);
    ASSERT_TRUE(env.host.runUntil([&] { return serverError.calls == 1; }));
    EXPECT_FALSE(serverError.error);
    EXPECT_EQ(serverError.answer, (Value{{"error", "internal"}}));

    env.service->setAnswer("event", Value::array());
    env.service->clearFaults();
    Outcome emptyList;
    post(*engine, url, "a=1", 1, emptyList);
    ASSERT_TRUE(env.host.runUntil([&] { return emptyList.calls == 1; }));
    EXPECT_FALSE(emptyList.error);
    EXPECT_EQ(emptyList.answer, Value::array());

    env.service->setFault("event", {service::FaultKind::NotJSON});
    Outcome notJson;
    post(*engine, url, "a=1", 1, notJson);
    ASSERT_TRUE(env.host.runUntil([&] { return notJson.calls == 1; }));
    EXPECT_EQ(notJson.order, (std::vector<std::string>{"failure", "completion"}));
    ASSERT_TRUE(notJson.error);
    EXPECT_EQ(notJson.error->domain, platform::kCocoaErrorDomain);
    EXPECT_TRUE(notJson.answer.isNone());
}

TEST(Transport, InvalidUrlFailsWithUnsupportedUrlAndNoRequest) {
    testkit::ServiceHost env;
    auto engine = std::make_shared<qmInternalProcessClass>();
    for (const Value& url : {Value(), Value(""), Value("(null)"), Value::null()}) {
        Outcome out;
        post(*engine, url, "a=1", 1, out);
        ASSERT_TRUE(env.host.runUntil([&] { return !out.order.empty(); }));
        ASSERT_TRUE(out.error);
        EXPECT_EQ(out.error->code, -1002);
        EXPECT_EQ(out.error->localizedDescription, "Invalid/empty url found");
        EXPECT_EQ(out.calls, 0);
    }
    EXPECT_TRUE(env.service->requests().empty());
}

TEST(Transport, SilentServerTimesOutWithoutBlockingTheMainRunLoop) {
    testkit::ServiceHost env;
    platform::URLSessionConfiguration::setDefaultTimeoutIntervalForRequest(1);
    env.service->setFault("settings", {service::FaultKind::NoAnswer});
    auto engine = std::make_shared<qmInternalProcessClass>();
    Outcome out;
    post(*engine, QMSDKNetworkManager::sharedInstance().qmGetFetchSettingsApiURLString(), "a=1", 1, out);
    int ticks = 0;
    auto timer = platform::Timer::scheduled(0.01, true, [&](platform::Timer&) { ++ticks; });
    platform::Queue::main().async([&] { ++ticks; });
    ASSERT_TRUE(env.host.runUntil([&] { return !out.order.empty(); }, 30));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, -1001);
    EXPECT_EQ(out.calls, 0);
    EXPECT_GE(ticks, 1);  // the main run loop kept serving while the request waited
    timer->invalidate();
}

TEST(Transport, CommonParametersLeaveMissingValuesEmpty) {
    testkit::TestHost host;
    auto engine = std::make_shared<qmInternalProcessClass>();
    EXPECT_EQ(engine->qmGetDefaultPostParamsWithDeviceIDType(0, 0),
              "bid=0&bid_e=&device=2&deviceID=&clickID=&language=&gmOffset=00&mode=&sdk_version=7.0.5");
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    prefs.qmSetInteger(1234, "qm_brandID", QMStore::Both);
    prefs.qmSetString("k3y", "qm_encryptedKey", QMStore::Both);
    prefs.qmSetString("DEV-1", "qm_iOS_VENDOR_IDENTIFIER", QMStore::Both);
    prefs.qmSetString("English", "qm_language", QMStore::Both);
    prefs.qmSetString("live", "qm_AppMode", QMStore::Both);
    prefs.qmSetString("com.example.testapp", "qm_Package", QMStore::AppGroup);
    EXPECT_EQ(engine->qmGetDefaultPostParamsWithDeviceIDType(1, 0),
              "bid=1234&bid_e=k3y&device=2&device_id=DEV-1&clickID=&language=English&gmOffset=00&mode=live"
              "&sdk_version=7.0.5&mobile_app_id=com.example.testapp");
    prefs.qmSetString("A-9", "qm_anal_id", QMStore::Library);
    EXPECT_EQ(engine->qmGetDefaultPostParamsWithDeviceIDType(0, 1),
              "bid=1234&bid_e=k3y&device=2&deviceID=DEV-1&clickID=A-9&language=English&gmOffset=00&mode=live"
              "&sdk_version=7.0.5&package=com.example.testapp");
    EXPECT_EQ(engine->qm_IP_Mode.get(), Value("live"));
}

TEST(Transport, BackgroundClickLeftByAnExitedProcessIsSentAtTheNextStartUp) {
    testkit::ServiceHost env;
    env.service->setFault("push/stats", {service::FaultKind::NoAnswer});
    auto run = testkit::runProgram(QM_BINARY_DIR "/tests/qm_bg_click",
                                   {env.host.sandboxDir(), env.service->address(), env.service->caFile(), "N42"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_FALSE(platform::URLSession::pendingBackgroundSessionIdentifiers().empty());
    env.service->clearFaults();
    env.service->clearRequests();

    quelmar::Initialize("live");
    ASSERT_TRUE(env.waitForRequests("stats", 1));
    const auto sent = env.service->requestsFor("stats");
    EXPECT_EQ(sent.front().service, "push");
    EXPECT_EQ(sent.front().fields["nid"], Value("N42"));
    EXPECT_TRUE(env.host.runUntil([&] {
        return env.host.logContains("[quelmar]-[INFO]: Push notification statistics has been completed successfully.");
    }));
    EXPECT_TRUE(env.host.runUntil([] { return platform::URLSession::pendingBackgroundSessionIdentifiers().empty(); }));
}

TEST(Transport, RedirectsToPlainHttpStalledAndOversizedAnswersReachTheFailureHandler) {
    testkit::ServiceHost env;
    platform::URLSessionConfiguration::setDefaultTimeoutIntervalForRequest(1);
    auto engine = std::make_shared<qmInternalProcessClass>();
    auto& endpoints = QMSDKNetworkManager::sharedInstance();
    env.service->setFault("event", {service::FaultKind::RedirectHTTP});
    env.service->setFault("user", {service::FaultKind::Trickle, 3});
    env.service->setFault("settings", {service::FaultKind::Oversize});
    // Bytes every 0.4 s never leave the 1-second idle limit, but 120 bytes in pieces of 8
    // take 6 s: the exchange ends at its total of twice the idle limit.
    env.service->setFault("schedule", {service::FaultKind::Trickle, 0.4});
    Outcome redirected, stalled, oversized, trickled;
    const std::string secrets = "bid=5&bid_e=s3cret&deviceID=D-1&userID=ann";
    post(*engine, endpoints.qmRecordEventApiURLString(), secrets, 1, redirected);
    post(*engine, endpoints.qmTrackUserApiURLString(), secrets, 1, stalled);
    post(*engine, endpoints.qmGetFetchSettingsApiURLString(), secrets, 1, oversized);
    const auto started = std::chrono::steady_clock::now();
    post(*engine, endpoints.qmSchedulePushNotificationApiURLString(), secrets, 1, trickled);
    ASSERT_TRUE(env.host.runUntil([&] { return !redirected.order.empty() && !stalled.order.empty() && !oversized.order.empty(); }, 30));
    ASSERT_TRUE(env.host.runUntil([&] { return !trickled.order.empty(); }, 30));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 5.0);

    const std::vector<std::pair<const Outcome*, long>> expected{
        {&redirected, -1022}, {&stalled, -1001}, {&oversized, -1103}, {&trickled, -1001}};
    for (const auto& [outcome, code] : expected) {
        EXPECT_EQ(outcome->order, std::vector<std::string>{"failure"}) << code;
        ASSERT_TRUE(outcome->error) << code;
        EXPECT_EQ(outcome->error->code, code);
        EXPECT_TRUE(outcome->onMain);
    }
    // Nothing, and in particular not the secret key, went out in clear text.
    EXPECT_TRUE(env.service->plainContacts().empty());
}

TEST(Transport, BackgroundStatisticsAnsweredWithAServerErrorAreSentAgainAtTheNextStart) {
    testkit::ServiceHost env;
    env.service->setFault("push/stats", {service::FaultKind::ServerError, 0, 1, 503});
    auto engine = std::make_shared<qmInternalProcessClass>();
    engine->qmHitAPIRequestWithBackgroundSupportforUrlString(
        QMSDKNetworkManager::sharedInstance().qmRecordPushStatisticsDefaultApiURLString(), "TestAgent/1.0",
        "nid=N7&type=click", 1, "qmSessionBgTaskPushStats_N7");
    ASSERT_TRUE(env.host.runUntil([&] {
        return env.service->requestsFor("stats").size() == 1 && platform::URLSession::activeTaskCount() == 0;
    }));
    EXPECT_EQ(platform::URLSession::pendingBackgroundSessionIdentifiers(),
              std::vector<std::string>{"qmSessionBgTaskPushStats_N7"});

    quelmar::Initialize("live");
    ASSERT_TRUE(env.waitForRequests("stats", 2));
    const auto sent = env.service->requestsFor("stats");
    EXPECT_EQ(sent[1].fields["nid"], Value("N7"));
    EXPECT_TRUE(env.host.runUntil([&] {
        return env.host.logContains("[quelmar]-[INFO]: Push notification statistics has been completed successfully.");
    }));
    EXPECT_TRUE(env.host.runUntil([] { return platform::URLSession::pendingBackgroundSessionIdentifiers().empty(); }));
    EXPECT_EQ(env.host.logCount("Invalid authentication for push notification statistics"), 0u);
}
