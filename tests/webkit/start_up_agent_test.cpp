// The user agent the library stores at start-up is the real engine's, ending in the library's
// name and version; start-up does not wait long for it. Skipped where the helper is not built
// or cannot start.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "qmweb/helper_engine.hpp"
#include "quelmar/quelmar.hpp"
#include "quelmar/version.hpp"
#include "test_host.hpp"

using namespace qm;
using namespace qm::platform;

TEST(StartUpAgent, ComesFromTheRealEngineWithinTheDeadline) {
    if (!HelperEngine::findHelper()) GTEST_SKIP() << "the qm-webkit helper is not built here";
    testkit::TestHost host;
    auto engine = HelperEngine::create();
    ASSERT_TRUE(engine);
    setConfiguredWebEngine(engine);
    std::optional<std::optional<std::string>> own;
    engine->defaultUserAgent([&](const std::optional<std::string>& agent) { own = agent; });
    ASSERT_TRUE(host.runUntil([&] { return own.has_value(); }, 60));
    if (!*own) {
        setConfiguredWebEngine(nullptr);
        GTEST_SKIP() << "the web engine cannot start here";
    }

    // A cold engine (the helper was started above, the page is new) answers within the
    // deadline start-up allows.
    const auto started = std::chrono::steady_clock::now();
    quelmar::Initialize("live");
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(took, qmGetFilteredData::kScriptAnswerDeadline + 1);
    const Value stored = QMSDKUserDefaultsData::sharedInstance().qmObjectForKey("qm_secretAgent", QMStore::Library);
    EXPECT_EQ(stored, Value(**own + " quelmar/" + kSDKVersion));

    setConfiguredWebEngine(nullptr);
    engine->shutdown();
}
