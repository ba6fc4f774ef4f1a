// Push payloads as the push fuzzer feeds them: every input it kept in tests/data/fuzz/push and a
// fixed run of pseudo-random ones go through every push entry without a crash, and every
// completion handed to the library (the extension's content handler above all) is called
// exactly once; the seeds decode to the pushes they name and their taps have their effects.
#include <gtest/gtest.h>

#include <filesystem>

#include "../../fuzz/push_fuzz_input.hpp"
#include "push/qmPushStatistics.hpp"
#include "unit/engine_test_access.hpp"

using namespace qm;

namespace {

class Callbacks : public quelmarDelegate {
public:
    void quelmarEventsResponseCallback(const Value& v) override { received.push_back(v); }
    std::vector<Value> named(const std::string& name) const {
        std::vector<Value> found;
        for (const auto& v : received)
            if (v["eventName"] == Value(name)) found.push_back(v);
        return found;
    }
    std::vector<Value> received;
};

std::string describe(const fuzz::PushRun& run) {
    std::string text;
    for (const auto& fault : run.faults) text += fault + "\n";
    return text;
}

class PushReplay : public ::testing::Test {
protected:
    void SetUp() override {
        platform::MediaProbe::setCurrent(std::make_shared<fuzz::PushMediaProbe>());
        quelmar::sharedInstance().delegate = callbacks;
        quelmar::Initialize("live");
        qmEngineTestAccess::setBrandSettingsComplete(*QMRuntime::shared().qmInternalProcess(), true);
        host.runUntilIdle(5);
        callbacks->received.clear();
    }

    std::string kept(const std::string& name) const {
        const auto bytes = platform::Files::readFile(QM_TEST_DATA_DIR "/fuzz/push/" + name);
        EXPECT_TRUE(bytes) << name;
        return bytes ? *bytes : std::string();
    }
    fuzz::PushRun replay(const std::string& bytes) { return fuzz::exercisePush(host, fuzz::decodePushInput(bytes)); }

    std::shared_ptr<fuzz::PushTransport> transport = std::make_shared<fuzz::PushTransport>();
    testkit::TestHost host{fuzz::pushHostOptions(transport)};
    std::shared_ptr<Callbacks> callbacks = std::make_shared<Callbacks>();
};

}  // namespace

TEST_F(PushReplay, KeptInputsAndRandomStepsCallEveryCompletionExactlyOnce) {
    const std::filesystem::path folder = QM_TEST_DATA_DIR "/fuzz/push";
    std::size_t replayed = 0, loads = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const auto run = replay(kept(entry.path().filename().string()));
        EXPECT_TRUE(run.allOnce()) << entry.path() << "\n" << describe(run);
        for (int calls : run.contentHandlerCalls) EXPECT_EQ(calls, 1) << entry.path();
        loads += run.contentHandlerCalls.size();
        ++replayed;
    }
    EXPECT_GE(replayed, 11u);
    EXPECT_GE(loads, replayed + 2) << "every seed hands its push to the extension's entry, some twice";

    // Steps made at random for every kind of payload (a fixed sequence, so a failure repeats).
    std::uint32_t state = 4242;
    for (int round = 0; round < 12; ++round) {
        std::string bytes(1, static_cast<char>(round));
        for (int i = 0; i < 120; ++i) {
            state = state * 1664525u + 1013904223u;
            bytes.push_back(static_cast<char>(state >> 24));
        }
        const auto run = replay(bytes);
        EXPECT_TRUE(run.allOnce()) << "round " << round << "\n" << describe(run);
    }
    EXPECT_EQ(platform::Application::shared().applicationState(), platform::ApplicationState::Active);
}

TEST_F(PushReplay, SeedsDecodeToThePushesTheyName) {
    const auto buttons = fuzz::decodePushInput(kept("seed_buttons.bin"));
    const Value& data = buttons.payload["aps"]["qm_data"];
    EXPECT_EQ(buttons.payload["aps"]["category"], Value("qmpush"));
    EXPECT_EQ(data["cta1"]["Identifier"], Value("qmpush-cta1"));
    EXPECT_EQ(data["cta2"]["Identifier"], Value("qmpush-cta2"));
    EXPECT_EQ(buttons.requestID, "push-1");
    ASSERT_EQ(buttons.steps.size(), 9u);
    EXPECT_EQ(buttons.steps[0].kind, fuzz::PushStep::Kind::Attachment);
    EXPECT_EQ(buttons.steps[2].action, "qmpush-cta1");
    EXPECT_EQ(buttons.steps[3].action, "qmpush-cta2");

    EXPECT_EQ(fuzz::decodePushInput(kept("seed_image.bin")).payload["aps"]["qm_data"]["mediaUrl"],
              Value("https://media.example.com/pic.gif"));
    EXPECT_EQ(fuzz::decodePushInput(kept("seed_video.bin")).payload["aps"]["qm_data"]["mediaType"], Value("video"));
    const auto foreign = fuzz::decodePushInput(kept("seed_foreign.bin"));
    EXPECT_FALSE(foreign.payload["aps"].contains("qm_data"));
    const auto noGroup = fuzz::decodePushInput(kept("seed_no_app_group.bin"));
    EXPECT_FALSE(noGroup.groupInInfo);
    EXPECT_TRUE(noGroup.categoryInInfo);

    // Changes before the steps alter the payload; changes among them only what follows.
    const auto changed = fuzz::decodePushInput(kept("seed_changes_then_steps.bin"));
    EXPECT_EQ(changed.payload["aps"]["qm_data"]["nid"], Value(""));
    EXPECT_EQ(changed.payload["aps"]["qm_data"]["mediaUrl"], Value()) << "the start payload has no media";
    ASSERT_EQ(changed.steps.size(), 7u);
    EXPECT_EQ(changed.steps[1].kind, fuzz::PushStep::Kind::Change);
    EXPECT_EQ(changed.steps[1].payload["aps"]["qm_data"]["mediaUrl"], Value("https://media.example.com/sound.wav"));
    EXPECT_EQ(changed.steps[4].payload["aps"]["qm_data"]["cta2"]["Identifier"], Value("(null)"));
    EXPECT_EQ(changed.steps[4].payload["aps"]["qm_data"]["mediaUrl"], Value("https://media.example.com/sound.wav"))
        << "a change keeps the ones before it";

    // JSON text cut and spliced: a space keeps the push whole, a stray brace makes it text.
    EXPECT_EQ(fuzz::decodePushInput(kept("seed_json_spliced.bin")).payload, fuzz::validPush(2));
    EXPECT_TRUE(fuzz::decodePushInput(kept("seed_json_broken.bin")).payload.isString());

    // Inputs cut short, empty or past the step limit still decode.
    EXPECT_TRUE(fuzz::decodePushInput("").steps.empty());
    EXPECT_EQ(fuzz::decodePushInput(std::string("\x00\x02\x00\x00", 4)).steps.size(), 1u);
    EXPECT_EQ(fuzz::decodePushInput(std::string("\x00\x02\x00", 3) + std::string(400, '\x05')).steps.size(), 32u);
}

TEST_F(PushReplay, ButtonTapsAreClickedWithTheirNumbersAndForeignPushesAreNot) {
    const auto run = replay(kept("seed_buttons.bin"));
    EXPECT_TRUE(run.allOnce()) << describe(run);
    EXPECT_EQ(run.clickDataCalls, std::vector<int>{1});
    const auto clicks = callbacks->named("Push_Clicked");
    ASSERT_EQ(clicks.size(), 2u);
    EXPECT_EQ(clicks[0]["attributes"]["callToAction"], Value(1));
    EXPECT_EQ(clicks[1]["attributes"]["callToAction"], Value(2));
    EXPECT_EQ(clicks[1]["attributes"]["notification_id"], Value("501"));

    callbacks->received.clear();
    const auto foreign = replay(kept("seed_foreign.bin"));
    EXPECT_TRUE(foreign.allOnce()) << describe(foreign);
    EXPECT_EQ(foreign.presentationCalls, std::vector<int>{1}) << "every push gets its presentation answer";
    EXPECT_TRUE(callbacks->named("Push_Clicked").empty());

    // A plain push's background fetch is answered once, and its tap routes to its page.
    callbacks->received.clear();
    const auto plain = replay(kept("seed_plain_text_alert.bin"));
    EXPECT_EQ(plain.fetchCalls, std::vector<int>{1});
    EXPECT_EQ(callbacks->named("Push_Clicked").size(), 2u) << "the tap and the background receipt";
}

TEST_F(PushReplay, TheExtensionAttachesServedMediaAndDeliversEveryPushOnce) {
    for (const char* seed : {"seed_image.bin", "seed_video.bin"}) {
        const auto run = replay(kept(seed));
        EXPECT_EQ(run.contentHandlerCalls, std::vector<int>{1}) << seed;
        EXPECT_EQ(run.attached, 1u) << seed;
    }
    // A sound twice, in front and in the background: both attached.
    const auto audio = replay(kept("seed_audio.bin"));
    EXPECT_EQ(audio.contentHandlerCalls, (std::vector<int>{1, 1}));
    EXPECT_EQ(audio.attached, 2u);

    // Without an app group, a picture push goes out as it came.
    const auto noGroup = replay(kept("seed_no_app_group.bin"));
    EXPECT_EQ(noGroup.contentHandlerCalls, std::vector<int>{1});
    EXPECT_EQ(noGroup.attached, 0u);
    const auto changed = replay(kept("seed_changes_then_steps.bin"));
    EXPECT_TRUE(changed.allOnce()) << describe(changed);
    EXPECT_EQ(changed.contentHandlerCalls, (std::vector<int>{1, 1}));
    EXPECT_EQ(changed.attached, 0u) << "a sound's address without a media type is not fetched";

    // Media that cannot be had: every road still delivers once.
    fuzz::PushInput input;
    for (const char* url : fuzz::push_pools::mediaURLs()) {
        Value push = fuzz::validPush(3);
        Value aps = push["aps"];
        Value data = aps["qm_data"];
        data.set("mediaUrl", url);
        aps.set("qm_data", data);
        push.set("aps", aps);
        fuzz::PushStep change;
        change.kind = fuzz::PushStep::Kind::Change;
        change.payload = push;
        input.steps.push_back(change);
        input.steps.push_back(fuzz::PushStep{fuzz::PushStep::Kind::Attachment});
    }
    const auto many = fuzz::exercisePush(host, input);
    EXPECT_TRUE(many.allOnce()) << describe(many);
    EXPECT_EQ(many.contentHandlerCalls.size(), fuzz::push_pools::mediaURLs().size());
    EXPECT_GE(many.attached, 3u);
    EXPECT_LT(many.attached, many.contentHandlerCalls.size());
}

// Kept from the fuzzer: a push whose "nid" is a dictionary nested 400 deep took seconds per input,
// its description (hundreds of kilobytes) sent and stored with every click.
TEST_F(PushReplay, IdsThatAreListsOrDictionariesReadAsEmpty) {
    const auto input = fuzz::decodePushInput(kept("slow_deep_list_nid.bin"));
    ASSERT_TRUE(input.payload["aps"]["qm_data"]["nid"].isDictionary());
    auto engine = QMRuntime::shared().qmInternalProcess();
    engine->qmLastNidClickedForEvent.set(Value("earlier"));
    const auto run = fuzz::exercisePush(host, input);
    EXPECT_TRUE(run.allOnce()) << describe(run);
    const auto clicks = callbacks->named("Push_Clicked");
    ASSERT_FALSE(clicks.empty());
    for (const auto& click : clicks) EXPECT_EQ(click["attributes"]["notification_id"], Value(""));
    EXPECT_EQ(engine->qmLastNidClickedForEvent.get(), Value("earlier")) << "an empty id is not the last clicked one";

    // A list id, sid and a dictionary statistics address the same; a number id is its text.
    callbacks->received.clear();
    Value push = fuzz::validPush(1);
    Value aps = push["aps"];
    Value data = aps["qm_data"];
    data.set("nid", Value::array({Value::array({1, 2})}));
    data.set("sid", Value::array({"x"}));
    data.set("stats_url", Value{{"u", "https://stats.example.com"}});
    aps.set("qm_data", data);
    push.set("aps", aps);
    quelmar::didReceiveNotificationResponse(std::make_shared<platform::UserNotificationResponse>(
        fuzz::detail::notificationFor(push, "push-9"), platform::kNotificationDefaultActionIdentifier));
    data.set("nid", 42);
    aps.set("qm_data", data);
    push.set("aps", aps);
    quelmar::didReceiveRemoteNotificationWithUserInfo(push);
    ASSERT_TRUE(host.runUntil([&] { return callbacks->named("Push_Clicked").size() == 2; }, 10));
    EXPECT_EQ(callbacks->named("Push_Clicked")[0]["attributes"]["notification_id"], Value(""));
    EXPECT_EQ(callbacks->named("Push_Clicked")[1]["attributes"]["notification_id"], Value("42"));
    EXPECT_EQ(QMRuntime::shared().container("_qmReadPushNotifications"), Value::array({"42"}));
    host.runUntilIdle(5);
}

// Kept from the fuzzer: pushes whose ids were megabytes long went into the received-push list,
// which every later change to the app-group suite (each arriving push's badge number among
// them) read and wrote again; one input took most of a minute.
TEST_F(PushReplay, OverlongIdsAreNotRecordedAsReceived) {
    const auto run = replay(kept("slow_long_nid_received.bin"));
    EXPECT_TRUE(run.allOnce()) << describe(run);

    auto list = [] {
        EXPECT_TRUE(QMSDKDataStore::qmFinishPendingFileWork(20));
        return QMSDKUserDefaultsData::sharedInstance().qmObjectForKey("qm_receivedPushNotificationIds", QMStore::AppGroup);
    };
    const std::string longest(push::kReceivedPushIDMaxLength, '7');
    quelmar::sharedInstance().setReceivedPushInPreferenceWithNotificationID(Value(longest + "7"), "com.example.testapp");
    quelmar::sharedInstance().setReceivedPushInPreferenceWithNotificationID(Value(std::string(1 << 20, 'x')), "");
    EXPECT_FALSE(list()) << "nothing recorded";
    EXPECT_TRUE(host.logContains("longer than 256 characters; it is not recorded as received"));
    quelmar::sharedInstance().setReceivedPushInPreferenceWithNotificationID(Value(longest), "com.example.testapp");
    const Value recorded = list();
    ASSERT_EQ(recorded.count(), 1u);
    EXPECT_EQ(recorded[0]["qmPushNID"], Value(longest));
}
