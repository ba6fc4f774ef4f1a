// What campaign pages post, as the script-message fuzzer feeds it: every input it kept in
// tests/data/fuzz/message goes through the popups and the survey in a modal without a crash and
// leaves nothing on screen; the seeds' valid messages have their effects; messages arriving
// after a close or a crash do nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "../../fuzz/message_fuzz_input.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"
#include "unit/engine_test_access.hpp"

using namespace qm;

namespace {

class Callbacks : public quelmarDelegate {
public:
    void quelmarEventsResponseCallback(const Value& v) override { events.push_back(v["eventName"].description()); }
    std::size_t count(const std::string& name) const { return std::count(events.begin(), events.end(), name); }
    std::vector<std::string> events;
};

class MessageReplay : public ::testing::Test {
protected:
    void SetUp() override {
        fuzz::scriptMessagePages(host);
        host.webEngine().setSnapshotError("no snapshots here");
        quelmar::sharedInstance().delegate = callbacks;
        quelmar::Initialize("live");
        qmEngineTestAccess::setBrandSettingsComplete(*QMRuntime::shared().qmInternalProcess(), true);
        window = std::make_shared<platform::Window>();
        window->setRootViewController(std::make_shared<platform::ViewController>("HomeVC"));
        window->makeKeyAndVisible();
        root = platform::viewOf(*window);
    }
    void TearDown() override { platform::Application::shared().removeWindow(window); }

    std::string kept(const std::string& name) const {
        const auto bytes = platform::Files::readFile(QM_TEST_DATA_DIR "/fuzz/message/" + name);
        EXPECT_TRUE(bytes) << name;
        return bytes ? *bytes : std::string();
    }
    fuzz::MessageRun replay(const std::string& bytes) {
        return fuzz::exerciseMessages(host, fuzz::decodeMessageInput(bytes), root);
    }
    bool nothingOnScreen() const { return fuzz::campaignPopups(root).empty() && !inapp::qmCurrentModalSurvey().panel; }
    std::size_t opened(const std::string& url) const {
        const auto urls = platform::Application::shared().openedURLs();
        return static_cast<std::size_t>(std::count(urls.begin(), urls.end(), url));
    }

    testkit::TestHost host;
    std::shared_ptr<Callbacks> callbacks = std::make_shared<Callbacks>();
    std::shared_ptr<platform::Window> window;
    std::shared_ptr<platform::View> root;
};

}  // namespace

TEST_F(MessageReplay, KeptFuzzerInputsAndRandomMessagesLeaveNothingOnScreen) {
    const std::filesystem::path folder = QM_TEST_DATA_DIR "/fuzz/message";
    std::size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        replay(kept(entry.path().filename().string()));
        EXPECT_TRUE(nothingOnScreen()) << entry.path();
        ++replayed;
    }
    EXPECT_GE(replayed, 7u);

    // Steps made at random for every receiver (a fixed sequence, so a failure repeats).
    std::uint32_t state = 2024;
    for (int round = 0; round < 14; ++round) {
        std::string bytes(1, static_cast<char>(round));
        for (int i = 0; i < 160; ++i) {
            state = state * 1664525u + 1013904223u;
            bytes.push_back(static_cast<char>(state >> 24));
        }
        replay(bytes);
        EXPECT_TRUE(nothingOnScreen()) << "round " << round;
    }
}

TEST_F(MessageReplay, SeedsDecodeToTheMessagesTheyNameForTheirReceiver) {
    const auto popup = fuzz::decodeMessageInput(kept("seed_popup_every_name.bin"));
    EXPECT_EQ(popup.templateID, 3);
    ASSERT_EQ(popup.steps.size(), 11u);
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(popup.steps[i].kind, fuzz::MessageStep::Kind::Post);
        EXPECT_EQ(popup.steps[i].name, fuzz::message_pools::names()[i]);
        EXPECT_EQ(popup.steps[i].body, Value(fuzz::validMessageBody(popup.steps[i].name, "31")));
    }
    EXPECT_EQ(popup.steps[7].kind, fuzz::MessageStep::Kind::Advance);
    EXPECT_EQ(popup.steps[8].name, "qmStopShowAgain");
    EXPECT_EQ(popup.steps[8].body, Value(R"({"notificationID":"31"})"));

    const auto objects = fuzz::decodeMessageInput(kept("seed_popup_objects.bin"));
    ASSERT_EQ(objects.steps.size(), 4u);
    EXPECT_EQ(objects.steps[3].body, (Value{{"notificationID", "31"}})) << "posted as an object, not as text";

    const auto survey = fuzz::decodeMessageInput(kept("seed_survey_modal_every_name.bin"));
    EXPECT_EQ(survey.templateID, 101);
    ASSERT_FALSE(survey.steps.empty());
    EXPECT_EQ(survey.steps[0].body, Value(R"({"notificationID":"41"})"));

    // Inputs cut short, empty or past the step limit still decode.
    EXPECT_TRUE(fuzz::decodeMessageInput("").steps.empty());
    EXPECT_EQ(fuzz::decodeMessageInput(std::string("\x05\x00", 2)).steps.size(), 1u);
    EXPECT_EQ(fuzz::decodeMessageInput(std::string(1, '\0') + std::string(400, '\x0e')).steps.size(), 48u);
}

TEST_F(MessageReplay, APopupsValidMessagesTakeEffectUntilItIsClosed) {
    const auto run = replay(kept("seed_popup_every_name.bin"));
    EXPECT_EQ(run.delivered, 10u);
    EXPECT_EQ(run.deliveredAfterClose, 2u) << "the page outlives its view's close";
    EXPECT_EQ(callbacks->count("Survey Attempt"), 1u) << "none for the one posted after the close";
    EXPECT_EQ(callbacks->count("Survey Submit"), 1u);
    EXPECT_EQ(callbacks->count("Banner Clicked"), 1u) << "stop showing again";
    EXPECT_EQ(opened("https://www.example.com/sale?code=A1"), 1u) << "the address posted after the close stays shut";
    EXPECT_TRUE(nothingOnScreen());

    // A closed sticky bar's page is not heard either.
    callbacks->events.clear();
    replay(kept("seed_sticky_bar.bin"));
    EXPECT_EQ(callbacks->count("Survey Attempt"), 0u);
    EXPECT_EQ(opened("https://www.example.com/sale?code=A1"), 2u);
}

TEST_F(MessageReplay, TheSurveyInAModalActsOnItsOwnIdAndNotAfterItIsTakenAway) {
    replay(kept("seed_survey_modal_every_name.bin"));
    EXPECT_EQ(callbacks->count("Survey Attempt"), 1u);
    EXPECT_EQ(callbacks->count("Survey Submit"), 1u);
    EXPECT_EQ(callbacks->count("Banner Clicked"), 1u);
    EXPECT_TRUE(nothingOnScreen());

    callbacks->events.clear();
    EXPECT_EQ(replay(kept("seed_survey_modal_close_then_talk.bin")).deliveredAfterClose, 3u);
    EXPECT_EQ(callbacks->count("Survey Submit"), 0u) << "posted after the survey was taken away";
    EXPECT_EQ(callbacks->count("Banner Clicked"), 0u);

    // A page that crashed and was loaded again, and a campaign shown again, still talk.
    callbacks->events.clear();
    replay(kept("seed_crash_and_show_again.bin"));
    EXPECT_EQ(callbacks->count("Survey Attempt"), 1u);
    EXPECT_EQ(callbacks->count("Survey Submit"), 1u) << "the page loaded again after its first crash";
    EXPECT_EQ(callbacks->count("Banner Clicked"), 1u) << "the campaign shown again";
}
