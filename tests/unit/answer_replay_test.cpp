// Every kept answer-fuzzer input goes through the settings answer handling without a crash.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/QMRuntime.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/json.hpp"
#include "test_host.hpp"

using namespace qm;

TEST(AnswerFuzzInputs, SettingsAnswersNeverCrash) {
    testkit::TestHost host;
    auto engine = QMRuntime::shared().beginLaunch();
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QM_TEST_DATA_DIR "/fuzz/answer")) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        ++files;
        if (auto answer = platform::json::parse(text.str())) {
            engine->qmUpdateSettingsFetchedFromServerWithResponseDict(*answer);
            host.runUntilIdle(5);
        }
    }
    EXPECT_GE(files, 1u);
    EXPECT_TRUE(engine->fetchBrandSettingsComplete());  // the sample answer completes set-up
}
