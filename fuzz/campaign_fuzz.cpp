// Feeds campaign records (see campaign_fuzz_input.hpp) through Show, the on-scroll trigger,
// every view builder and the popups' taps, in a started library on the test host (scripted web
// engine, manual clock). A crash or a sanitizer report is the finding.
#include <cstddef>
#include <cstdint>

#include "campaign_fuzz_input.hpp"
#include "../tests/unit/engine_test_access.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"

namespace {
qm::testkit::TestHost* host = nullptr;  // lives as long as the process
std::shared_ptr<qm::platform::View> root;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    namespace pf = qm::platform;
    pf::RunLoop::main().setMainThread();
    host = new qm::testkit::TestHost();
    host->webEngine().onEvaluate(qm::testkit::TextMatch::contains("scrollHeight"), qm::Value(200));
    // Web views snapshot their page at every resize; encoding full-screen PNGs in the scripted
    // engine would take most of each run.
    host->webEngine().setSnapshotError("no snapshots while fuzzing");
    qm::quelmar::Initialize("live");
    qm::qmEngineTestAccess::setBrandSettingsComplete(*qm::QMRuntime::shared().qmInternalProcess(), true);
    static auto window = std::make_shared<pf::Window>();
    window->setRootViewController(std::make_shared<pf::ViewController>("HomeVC"));
    window->makeKeyAndVisible();
    root = pf::viewOf(*window);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 16384) return 0;  // longer inputs only repeat what shorter ones reach
    const auto input = qm::fuzz::decodeCampaignInput({reinterpret_cast<const char*>(data), size});
    qm::fuzz::exerciseCampaigns(*host, input, root);
    return 0;
}
