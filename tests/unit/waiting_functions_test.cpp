// The deferred call queue: what is accepted, its encrypted stored form, replay and the key.
#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

#include "core/QMRuntime.hpp"
#include "core/QMSDKEncryptionHandler.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/QMTypes.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "unit/engine_test_access.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/preferences.hpp"
#include "qmplatform/url.hpp"
#include "quelmar/quelmar.hpp"
#include "recording_transport.hpp"
#include "test_host.hpp"

using namespace qm;

namespace {
const char* kSecret = "secret-key-0123456789abcdef";  // the test app's qmSecretKey
const char* kUnreadable = "[quelmar]-[ERROR]: Invalid waiting function data or no data was found.";

qmGetFilteredData& utility() { return qmGetFilteredData::sharedInstance(); }
Value stored() { return QMSDKUserDefaultsData::sharedInstance().qmSDKStdUserDefaults->objectForKey("qm_WaitingFunctions"); }

// The stored queue decrypted with `key`; nothing when absent or undecryptable.
std::optional<std::string> storedPlainText(const char* key = kSecret) {
    const Value text = stored();
    if (!text.isString()) return std::nullopt;
    return QMSDKEncryptionHandler::sharedInstance().qmDecryptWithKey(key, text);
}

const Value kEvent{{"qmFunctionName", "qmTrackEvent"},
                   {"qmEventName", "purchase"},
                   {"qmEventScope", 2},
                   {"qmEventAttributes", Value{{"sku", "A1"}}},
                   {"qmEventLtv", "9.5"}};
const Value kUser{{"qmFunctionName", "qmTrackUser"}, {"qmTrackUserID", "user-7"}};
const Value kShow{{"qmFunctionName", "qmShowInAppNotification"}};
const Value kLater{{"qmFunctionName", "qmLater"}, {"x", 1}};

// The percent-decoded value of a form field; nothing when absent.
std::optional<std::string> formField(const std::string& form, std::string_view name) {
    std::size_t start = 0;
    while (start <= form.size()) {
        const std::size_t end = std::min(form.find('&', start), form.size());
        const std::string_view field = std::string_view(form).substr(start, end - start);
        const std::size_t equals = field.find('=');
        if (field.substr(0, equals) == name)
            return platform::percentDecode(equals == std::string_view::npos ? "" : field.substr(equals + 1));
        start = end + 1;
    }
    return std::nullopt;
}

// Replayed calls reach an engine whose settings are in, so none of them is deferred again.
std::shared_ptr<qmInternalProcessClass> readyEngine() {
    auto engine = QMRuntime::shared().beginLaunch();
    qmEngineTestAccess::setBrandSettingsComplete(*engine, true);
    qmEngineTestAccess::setPushSettingsComplete(*engine, true);
    return engine;
}
}  // namespace

TEST(WaitingFunctions, AcceptedRecordsAreStoredAsEncryptedPrettyJson) {
    testkit::TestHost host;
    utility().qmSceduleWaitingFunctionsWithData(Value{{"qmFunctionName", "qmTrackEvent"}, {"qmEventName", "x"}, {"qmEventScope", 5}});
    EXPECT_FALSE(stored());  // scope 5 is never deferred

    utility().qmSceduleWaitingFunctionsWithData(kEvent);
    utility().qmSceduleWaitingFunctionsWithData(kUser);
    // Refused: scopes 0, 4 and 6, a missing name, an empty or missing user id, unknown kinds,
    // no entries.
    for (const Value& refused :
         {Value{{"qmFunctionName", "qmTrackEvent"}, {"qmEventName", "x"}, {"qmEventScope", 0}},
          Value{{"qmFunctionName", "qmTrackEvent"}, {"qmEventName", "x"}, {"qmEventScope", "4"}},
          Value{{"qmFunctionName", "qmTrackEvent"}, {"qmEventName", "x"}, {"qmEventScope", 6}},
          Value{{"qmFunctionName", "qmTrackEvent"}, {"qmEventScope", 2}},
          Value{{"qmFunctionName", "qmTrackUser"}, {"qmTrackUserID", ""}}, Value{{"qmFunctionName", "qmTrackUser"}},
          kLater, Value::dictionary()}) {
        utility().qmSceduleWaitingFunctionsWithData(refused);
    }

    const Value text = stored();
    ASSERT_TRUE(text.isString());
    EXPECT_TRUE(std::regex_match(text.string(), std::regex("[A-Za-z0-9+/]+={0,2}")));
    EXPECT_EQ(storedPlainText(), std::optional<std::string>(R"([
  {
    "qmEventAttributes" : {
      "sku" : "A1"
    },
    "qmEventLtv" : "9.5",
    "qmEventName" : "purchase",
    "qmEventScope" : 2,
    "qmFunctionName" : "qmTrackEvent",
    "qmQueuedAt" : 727005600
  },
  {
    "qmFunctionName" : "qmTrackUser",
    "qmQueuedAt" : 727005600,
    "qmTrackUserID" : "user-7"
  }
])"));  // stamped with the test clock's 2024-01-15 10:00 UTC

    // An empty list stores nothing and keeps the old value; clearing removes it.
    utility().qmUpdateWaitingFunctionsWithData(Value::array());
    EXPECT_EQ(stored(), text);
    utility().qmClearWaitingFunctions();
    EXPECT_FALSE(stored());
}

TEST(WaitingFunctions, ReplayEmptiesTheQueueButKeepsUnknownRecords) {
    auto transport = std::make_shared<testkit::RecordingTransport>();  // refuses every request
    testkit::TestHost host({.transport = transport});
    readyEngine();
    utility().qmUpdateWaitingFunctionsWithData(Value::array({kEvent, kLater, kUser, kShow}));
    utility().qmExecuteWaitingFunctions();
    EXPECT_EQ(host.logCount("[quelmar]-[INFO]: Show method triggered"), 1u);
    const std::string onlyLater = R"([
  {
    "qmFunctionName" : "qmLater",
    "x" : 1
  }
])";
    EXPECT_EQ(storedPlainText(), onlyLater);
    // The replayed event and user identification went out, once each.
    ASSERT_TRUE(transport->waitForRequests(2));
    const auto events = transport->requestsFor("/mobile/api/event");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].method, "POST");
    EXPECT_EQ(formField(events[0].body, "event_name"), "purchase");
    EXPECT_EQ(formField(events[0].body, "scope"), "2");
    EXPECT_EQ(formField(events[0].body, "ltv"), "9.5");
    EXPECT_EQ(formField(events[0].body, "attributes"), R"({"sku":"A1"})");
    ASSERT_EQ(transport->requestsFor("/mobile/api/user").size(), 1u);
    EXPECT_EQ(formField(transport->requestsFor("/mobile/api/user")[0].body, "userID"), "user-7");

    // The left-over record survives further replays.
    utility().qmExecuteWaitingFunctions();
    EXPECT_EQ(storedPlainText(), onlyLater);

    // A record scheduled after the replay is queued behind it, and replay then empties it.
    utility().qmClearWaitingFunctions();
    utility().qmSceduleWaitingFunctionsWithData(kShow);
    utility().qmSceduleWaitingFunctionsWithData(kUser);
    utility().qmExecuteWaitingFunctions();
    EXPECT_FALSE(stored());
    EXPECT_EQ(host.logCount("[quelmar]-[INFO]: Show method triggered"), 2u);
    EXPECT_FALSE(host.logContains(kUnreadable));
    EXPECT_TRUE(transport->waitForRequests(3));
    EXPECT_EQ(transport->requestsFor("/mobile/api/user").size(), 2u);
    EXPECT_EQ(transport->requestCount(), 3u);
}

// Calls wait across launches, but not forever: one queued more than 7 days ago is dropped at
// replay, an event with a failure record to the delegate.
TEST(WaitingFunctions, CallsOlderThanTheBoundAreDroppedAndReported) {
    struct Results : quelmarDelegate {
        std::vector<Value> received;
        void quelmarEventsResponseCallback(const Value& v) override { received.push_back(v); }
    };
    testkit::TestHost host;
    auto results = std::make_shared<Results>();
    quelmar::sharedInstance().delegate = results;
    utility().qmSceduleWaitingFunctionsWithData(kEvent);
    utility().qmSceduleWaitingFunctionsWithData(kUser);
    host.advance(86400);
    utility().qmSceduleWaitingFunctionsWithData(kShow);
    host.advance(6 * 86400 + 1);  // the first two are 7 days and 1 second old, the display 6 days

    readyEngine();
    utility().qmExecuteWaitingFunctions();
    host.runUntilIdle();
    EXPECT_EQ(results->received,
              (std::vector<Value>{Value{{"status", "fail"},
                                        {"eventName", "purchase"},
                                        {"message", "purchase event could not be sent within 7 days and was dropped"},
                                        {"type", QMEventResult::DroppedUnsent},
                                        {"callbackType", "event"}}}));
    EXPECT_EQ(host.logCount("[quelmar]-[WARNING]: A user identification could not be sent within 7 days and was dropped."), 1u);
    EXPECT_EQ(host.logCount("[quelmar]-[INFO]: Show method triggered"), 1u);
    EXPECT_FALSE(stored());
    quelmar::sharedInstance().delegate.reset();
}

TEST(WaitingFunctions, ChangedSecretKeyMakesTheStoredQueueUnreadable) {
    testkit::TestHost host;
    EXPECT_EQ(utility().getEncryptionKey(), Value(kSecret));
    utility().qmSceduleWaitingFunctionsWithData(kUser);
    ASSERT_TRUE(storedPlainText());

    Value info = testkit::TestHost::defaultInfo();
    info.set("qmSecretKey", "another-key");
    host.writeInfo(info);
    utility().qmSceduleWaitingFunctionsWithData(kShow);
    EXPECT_EQ(host.logCount(kUnreadable), 1u);
    EXPECT_EQ(storedPlainText("another-key"), std::optional<std::string>(R"([
  {
    "qmFunctionName" : "qmShowInAppNotification",
    "qmQueuedAt" : 727005600
  }
])"));

    // Text that decrypts to something other than JSON reads as empty too.
    auto garbage = QMSDKEncryptionHandler::sharedInstance().qmEncryptWithKey("another-key", "not json");
    QMSDKUserDefaultsData::sharedInstance().qmSetObject(Value(*garbage), "qm_WaitingFunctions", QMStore::Library);
    readyEngine();
    utility().qmExecuteWaitingFunctions();
    EXPECT_EQ(host.logCount(kUnreadable), 2u);
    EXPECT_FALSE(host.logContains("Show method triggered"));
    EXPECT_FALSE(stored());
}

TEST(WaitingFunctions, ConcurrentSchedulingAndReplayLoseNoRecord) {
    testkit::TestHost host;
    readyEngine();
    constexpr int kThreads = 4, kPerThread = 15;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kPerThread; ++i) utility().qmSceduleWaitingFunctionsWithData(kShow);
        });
    }
    for (int i = 0; i < 10; ++i) utility().qmExecuteWaitingFunctions();  // the main thread replays meanwhile
    for (auto& thread : threads) thread.join();

    std::size_t left = 0;
    if (auto text = storedPlainText()) left = platform::json::parse(*text).value_or(Value()).count();
    EXPECT_EQ(host.logCount("[quelmar]-[INFO]: Show method triggered") + left, std::size_t{kThreads * kPerThread});
}
