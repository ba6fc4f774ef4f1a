#include <gtest/gtest.h>

#include <optional>

#include "core/QMRuntime.hpp"
#include "core/QMSDKEncryptionHandler.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "unit/engine_test_access.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/preferences.hpp"
#include "quelmar/quelmar.hpp"
#include "test_host.hpp"

using namespace qm;

namespace {

const char* kWaitFailed =
    "[quelmar]-[ERROR]: Request time out or data not found for qmUID. Kindly check your internet connection and try again";

// What a getQmUid completion received, and whether it ran on the main thread.
struct UidAnswer {
    int calls = 0;
    Value uid;
    bool onMain = false;
    std::function<void(const Value&)> completion() {
        return [this](const Value& v) {
            ++calls;
            uid = v;
            onMain = platform::RunLoop::main().isMainThread();
        };
    }
};

platform::UserDefaults& library() { return *QMSDKUserDefaultsData::sharedInstance().qmSDKStdUserDefaults; }

}  // namespace

TEST(UserIdentity, KnownUidIsHandedOverOnTheMainQueue) {
    testkit::TestHost host;
    QMRuntime::shared().qmUIDFinalStr.set(Value("svc-42"));
    UidAnswer answer;
    quelmar::getQmUid(answer.completion());
    EXPECT_EQ(answer.calls, 0);  // not from inside the call
    quelmar::getQmUid(nullptr);
    EXPECT_TRUE(host.runUntilIdle());
    EXPECT_EQ(answer.calls, 1);
    EXPECT_EQ(answer.uid, Value("svc-42"));
    EXPECT_TRUE(answer.onMain);
}

TEST(UserIdentity, UidWaitGivesUpAfterTenSecondsAndLaterWaitsAfterOneCheck) {
    testkit::TestHost host;
    quelmar::Initialize("live");  // the settings answer never comes
    host.clearLog();

    UidAnswer first;
    quelmar::getQmUid(first.completion());
    int seconds = 0;
    while (first.calls == 0 && seconds < 30) {
        host.advance(1);
        ++seconds;
    }
    EXPECT_EQ(seconds, 10);
    EXPECT_EQ(first.uid, Value());
    EXPECT_TRUE(first.onMain);
    EXPECT_EQ(host.logCount(kWaitFailed), 1u);
    EXPECT_EQ(QMRuntime::shared().qmGetQmUidWaitingResponse.get(),
              (Value{{"Authentication", "failed"}, {"http_code", "408"}}));

    // The budget is spent for this process: the next wait ends at its first check.
    UidAnswer second;
    quelmar::getQmUid(second.completion());
    quelmar::getQmUid(nullptr);
    host.advance(1);
    EXPECT_EQ(second.calls, 1);
    EXPECT_EQ(second.uid, Value());
    EXPECT_EQ(host.logCount(kWaitFailed), 3u);
}

TEST(UserIdentity, UidWaitEndsQuietlyOnceSetUpCompletes) {
    testkit::TestHost host;
    quelmar::Initialize("live");
    host.clearLog();
    UidAnswer answer;
    quelmar::getQmUid(answer.completion());
    host.advance(3);
    EXPECT_EQ(answer.calls, 0);

    // The settings answer arrives with the service's user id.
    QMRuntime::shared().qmUIDFinalStr.set(Value("svc-7"));
    qmEngineTestAccess::setBrandSettingsComplete(*QMRuntime::shared().qmInternalProcess(), true);
    host.advance(1);
    EXPECT_EQ(answer.calls, 1);
    EXPECT_EQ(answer.uid, Value("svc-7"));
    EXPECT_FALSE(host.logContains("Request time out"));
    EXPECT_EQ(QMRuntime::shared().qmGetQmUidWaitingResponse.get(),
              (Value{{"Authentication", "success"}, {"http_code", "200"}}));
}

TEST(UserIdentity, MissingUserIdIsRefusedAndEarlyCallsAreQueued) {
    testkit::TestHost host;
    quelmar::Initialize("live");
    host.clearLog();

    for (const Value& id : {Value(), Value(""), Value::null()}) quelmar::UserIdentifier(id, Value{{"plan", "gold"}});
    EXPECT_EQ(host.logCount("[quelmar]-[ERROR]: Parameter missing, userID can not be nil or empty in user identifier method"),
              3u);
    EXPECT_FALSE(library().objectForKey("qm_user_identifier"));

    // Before the settings answer the calls wait in the deferred queue.
    quelmar::UserIdentifier("alice", Value{{"plan", "gold"}});
    quelmar::UserIdentifier("bob", Value::dictionary());
    EXPECT_TRUE(host.runUntilIdle());
    auto plain = QMSDKEncryptionHandler::sharedInstance().qmDecryptWithKey(
        "secret-key-0123456789abcdef", library().objectForKey("qm_WaitingFunctions"));
    ASSERT_TRUE(plain);
    const Value expected = *platform::json::parse(R"([
        {"qmFunctionName": "qmTrackUser", "qmTrackUserID": "alice", "qmTrackUserParams": {"plan": "gold"},
         "qmQueuedAt": 727005600},
        {"qmFunctionName": "qmTrackUser", "qmTrackUserID": "bob", "qmQueuedAt": 727005600}
    ])");  // queued at the test clock's 2024-01-15 10:00 UTC
    Value queued = platform::json::parse(*plain).value_or(Value());
    ASSERT_GE(queued.count(), 2u) << *plain;
    queued.mutableArray().erase(queued.mutableArray().begin(), queued.mutableArray().end() - 2);
    EXPECT_EQ(queued, expected) << *plain;
    EXPECT_FALSE(library().objectForKey("qm_user_identifier"));
}
