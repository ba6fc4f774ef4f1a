// Campaign records as the service may really send them: every input the campaign fuzzer kept
// in tests/data/fuzz/campaign, and records mangled here, go through Show, the builders and the
// popups' taps without a crash; then the faults the fuzzer found, one by one.
#include <gtest/gtest.h>

#include <filesystem>

#include "../../fuzz/campaign_fuzz_input.hpp"
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
    for (int round = 0; round < 40; ++round) {
        std::string bytes(1, '\x01');
        for (int i = 0; i < 200; ++i) {
            state = state * 1664525u + 1013904223u;
            bytes.push_back(static_cast<char>(state >> 24));
        }
        fuzz::exerciseCampaigns(host, fuzz::decodeCampaignInput(bytes), root);
    }
    SUCCEED();
}
