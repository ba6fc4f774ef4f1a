// Campaign records as the service may really send them: every input the campaign fuzzer kept
// in tests/data/fuzz/campaign, and records mangled here, go through Show, the builders and the
// popups' taps without a crash; then the faults the fuzzer found, one by one.
#include <gtest/gtest.h>

#include <filesystem>

#include "../../fuzz/campaign_fuzz_input.hpp"
#include "inapp/qmInAppRules.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"
#include "unit/engine_test_access.hpp"

using namespace qm;

namespace {

class CampaignRecords : public ::testing::Test {
protected:
    void SetUp() override {
        host.webEngine().onEvaluate(testkit::TextMatch::contains("scrollHeight"), Value(200));
        host.webEngine().setSnapshotError("no snapshots here");
        quelmar::Initialize("live");
        qmEngineTestAccess::setBrandSettingsComplete(*QMRuntime::shared().qmInternalProcess(), true);
        window = std::make_shared<platform::Window>();
        window->setRootViewController(std::make_shared<platform::ViewController>("HomeVC"));
        window->makeKeyAndVisible();
        root = platform::viewOf(*window);
    }
    void TearDown() override { platform::Application::shared().removeWindow(window); }

    testkit::TestHost host;
    std::shared_ptr<platform::Window> window;
    std::shared_ptr<platform::View> root;
};

}  // namespace

TEST_F(CampaignRecords, KeptFuzzerInputsAndMangledRecordsAreShownOrSkippedWithoutACrash) {
    const std::filesystem::path folder = QM_TEST_DATA_DIR "/fuzz/campaign";
    std::size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const auto bytes = platform::Files::readFile(entry.path().string());
        ASSERT_TRUE(bytes) << entry.path();
        fuzz::exerciseCampaigns(host, fuzz::decodeCampaignInput(*bytes), root);
        EXPECT_TRUE(fuzz::campaignPopups(root).empty()) << entry.path();
        ++replayed;
    }
    EXPECT_GE(replayed, 3u);

    // Records changed at random (a fixed sequence, so a failure repeats).
    std::uint32_t state = 12345;
    for (int round = 0; round < 12; ++round) {
        std::string bytes(1, '\x01');
        for (int i = 0; i < 200; ++i) {
            state = state * 1664525u + 1013904223u;
            bytes.push_back(static_cast<char>(state >> 24));
        }
        fuzz::exerciseCampaigns(host, fuzz::decodeCampaignInput(bytes), root);
    }
    SUCCEED();
}

TEST_F(CampaignRecords, EveryShowSeesTheStoredListAsLastWrittenOrCleared) {
    std::vector<std::string> shown;
    inapp::setViewBuilder([&](long, const Value& campaign, bool) { shown.push_back(campaign["notificationID"].description()); });
    auto store = [](const char* id, const char* text) {
        QMRuntime::shared().qmStoreData()->write_qm_notifications_bID_Data(Value{
            {"Authentication", "success"},
            {"notifications", Value::array({Value{{"notificationID", id}, {"template", 3}, {"description", text},
                                                  {"noOfTimesPerUser", 9}, {"noOfTimesPerAL", 9}}})}});
    };
    auto show = [&] {
        shown.clear();
        quelmar::Show(Value::dictionary(), Value::dictionary());
        host.runUntilIdle();
        return shown;
    };
    // Lists of the same size one after the other: each Show decides over the newest.
    store("1", "<p>a</p>");
    EXPECT_EQ(show(), std::vector<std::string>{"1"});
    store("2", "<p>b</p>");
    EXPECT_EQ(show(), std::vector<std::string>{"2"});
    EXPECT_EQ(show(), std::vector<std::string>{"2"});
    QMRuntime::shared().qmStoreData()->clear_qm_notifications_bID_Data();
    host.clearLog();
    EXPECT_TRUE(show().empty());
    EXPECT_TRUE(host.logContains("InApp Banner/survey not found or inactive for this current live mode"));
    store("3", "<p>c</p>");
    EXPECT_EQ(show(), std::vector<std::string>{"3"});

    // A campaign that may not show is not personalised, but says so as before when it has no
    // tokens.
    QMRuntime::shared().qmStoreData()->write_qm_notifications_bID_Data(Value{
        {"Authentication", "success"},
        {"notifications", Value::array({Value{{"notificationID", "4"}, {"template", 3}, {"noOfTimesPerUser", 0}}})}});
    host.clearLog();
    EXPECT_TRUE(show().empty());
    EXPECT_EQ(host.logCount("No user token found in this inApp Banner/Survey"), 1u);
    EXPECT_EQ(host.logCount("The InApp banner/survey notification expired for today"), 1u);
    inapp::setViewBuilder(nullptr);
}
