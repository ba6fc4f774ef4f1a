// The push subscription against the local service: a token is sent once (and not again while
// it stays the same), preference and user updates reuse it, and the service's answer code
// decides whether it is kept.
#include <gtest/gtest.h>

#include <vector>

#include "core/QMRuntime.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "library_fixture.hpp"
#include "quelmar/quelmar.hpp"

using namespace qm;

namespace {

class PushSubscription : public ::testing::Test {
protected:
    void SetUp() override {
        quelmar::sharedInstance().delegate = recorder;
        quelmar::Initialize("live");
        ASSERT_TRUE(env.host.runUntil([] {
            auto engine = QMRuntime::shared().qmInternalProcess();
            return engine && engine->fetchPushSettingsComplete();
        }));
        env.host.runUntilIdle();
        recorder->received.clear();
        env.service->clearRequests();
    }

    std::vector<service::RecordedRequest> subscriptions() const { return env.service->requestsFor("ios_subscribe"); }
    // Hands the token to the library; when a request is expected, waits for it and its answer.
    void deliverToken(qm::Bytes bytes, bool sent = true) {
        const std::size_t before = subscriptions().size();
        quelmar::DidRegisteredNotification(nullptr, Value(std::move(bytes)));
        if (sent) waitForAnswer(before);
        env.host.runUntilIdle();
    }
    void waitForAnswer(std::size_t before) {
        EXPECT_TRUE(env.host.runUntil([&] { return subscriptions().size() > before; }));
        env.host.runUntil([] { return platform::URLSession::activeTaskCount() == 0; });
        env.host.runUntilIdle();
    }
    // The "Push_Registered" records the host received (start-up's event answers may come too).
    std::vector<Value> registered() const { return recorder->named("Push_Registered"); }
    static QMSDKUserDefaultsData& prefs() { return QMSDKUserDefaultsData::sharedInstance(); }

    testkit::ServiceHost env;
    std::shared_ptr<testkit::RecordingDelegate> recorder = std::make_shared<testkit::RecordingDelegate>();
};

}  // namespace

TEST_F(PushSubscription, ATokenIsSentOnceWithItsFieldsAndKeptInBothSuites) {
    EXPECT_FALSE(quelmar::getPushRegistrationToken()) << "nothing before a subscription";
    deliverToken({0x0A, 0xFF});
    auto sent = subscriptions();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].service, "push");
    EXPECT_EQ(sent[0].fields["subscriptionId"], Value("0aff"));
    EXPECT_FALSE(sent[0].fields.contains("userID"));
    EXPECT_FALSE(sent[0].fields.contains("category"));
    const std::string& body = sent[0].body;
    const auto token = body.find("&subscriptionId=0aff&os_version=");
    ASSERT_NE(token, std::string::npos) << body;
    EXPECT_LT(token, body.find("&app_version=")) << body;
    EXPECT_LT(body.find("&device_id="), token) << "the common fields come first: " << body;
    EXPECT_LT(body.find("&app_version="), body.find("&device_info=")) << body;

    EXPECT_EQ(quelmar::getPushRegistrationToken(), Value("0aff"));
    EXPECT_EQ(prefs().qmObjectForKey("qm_deviceID", QMStore::AppGroup), Value("0aff"));
    ASSERT_EQ(registered().size(), 1u);
    EXPECT_EQ(registered()[0], (Value{{"status", "success"}, {"eventName", "Push_Registered"}, {"subscriptionId", "0aff"}}));
    EXPECT_TRUE(QMRuntime::shared()._qmShouldHitRecordPushSubscrptionAPI.load());

    // The same token again: nothing is sent.
    env.host.clearLog();
    deliverToken({0x0A, 0xFF}, false);
    EXPECT_EQ(subscriptions().size(), 1u);
    EXPECT_TRUE(env.host.logContains("already subscribed for push notification with this subscriptionID"));
    EXPECT_FALSE(QMRuntime::shared()._qmShouldHitRecordPushSubscrptionAPI.load());

    // A new token (a reinstall) is sent and replaces the old one.
    deliverToken({0x01, 0x02, 0x03});
    ASSERT_EQ(subscriptions().size(), 2u);
    EXPECT_EQ(quelmar::getPushRegistrationToken(), Value("010203"));

    // An empty token is no token.
    env.host.clearLog();
    quelmar::sharedInstance().qmSendSubscriptionIDToPanelWithToken(Value(""), false, Value(), false);
    EXPECT_TRUE(env.host.logContains("The device token is not found."));
}

TEST_F(PushSubscription, PreferencesAndUsersReuseTheStoredToken) {
    // Without a stored token preferences go nowhere, silently.
    quelmar::pushPreferences(Value::array({Value("offers")}), false);
    env.host.runUntilIdle();
    EXPECT_TRUE(subscriptions().empty());

    deliverToken({0xAB, 0xCD});
    prefs().qmSetString("ann", "qm_userID", QMStore::Library);
    quelmar::pushPreferences(Value::array({Value("offers"), Value("news")}), true);
    waitForAnswer(1);
    auto sent = subscriptions();
    ASSERT_EQ(sent.size(), 2u);
    const std::string& body = sent[1].body;
    const auto app = body.find("&app_version=");
    const auto user = body.find("&userID=ann");
    const auto category = body.find("&category=offers%2Cnews&unsubscribe=1");
    ASSERT_NE(category, std::string::npos) << body;
    EXPECT_LT(app, user);
    EXPECT_LT(user, category);
    EXPECT_EQ(sent[1].fields["category"], Value("offers,news"));
    EXPECT_EQ(registered().size(), 1u) << "only the first subscription is announced";

    // No categories: an empty category field, and the unsubscribe flag as set now.
    quelmar::pushPreferences(Value::array(), false);
    waitForAnswer(2);
    ASSERT_EQ(subscriptions().size(), 3u);
    EXPECT_NE(subscriptions()[2].body.find("&category=&unsubscribe=0"), std::string::npos) << subscriptions()[2].body;
}

TEST_F(PushSubscription, TheAnswerCodeDecidesWhetherTheTokenIsKept) {
    // 201 is a success like 200.
    env.service->setAnswer("ios_subscribe", Value{{"http_code", 201}});
    deliverToken({0x11});
    EXPECT_EQ(quelmar::getPushRegistrationToken(), Value("11"));

    // 202 keeps nothing new; any other code is an error and the old token stays.
    env.service->setAnswer("ios_subscribe", Value{{"http_code", 202}});
    deliverToken({0x22});
    EXPECT_EQ(quelmar::getPushRegistrationToken(), Value("11"));
    env.host.clearLog();
    env.service->setAnswer("ios_subscribe", Value{{"http_code", 500}});
    deliverToken({0x33});
    EXPECT_EQ(quelmar::getPushRegistrationToken(), Value("11"));
    EXPECT_TRUE(env.host.logContains("Authentication failed to register the device token for quelmar push notifications."));
    EXPECT_EQ(subscriptions().size(), 3u);

    // With push turned off for the account nothing is sent, whatever the token.
    prefs().qmSetBOOL(false, "qm_PushStatusActive", QMStore::Library);
    deliverToken({0x44}, false);
    EXPECT_EQ(subscriptions().size(), 3u);
    EXPECT_FALSE(QMRuntime::shared()._qmShouldHitRecordPushSubscrptionAPI.load());
}
