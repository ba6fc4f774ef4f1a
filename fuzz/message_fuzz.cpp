// Feeds what campaign pages post (see message_fuzz_input.hpp) to both receivers of script
// messages (popup views of HTML campaigns and surveys, the survey in a modal), interleaved with
// closes, clock steps, page crashes and shows again, in a started library on the test host
// (scripted web engine, manual clock, requests to a loopback port that refuses them). A crash or
// a sanitizer report is the finding.
#include <cstddef>
#include <cstdint>

#include "message_fuzz_input.hpp"
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
    qm::fuzz::scriptMessagePages(*host);
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
    if (size > 4096) return 0;  // 48 steps at most; longer inputs only carry unused bytes
    const auto input = qm::fuzz::decodeMessageInput({reinterpret_cast<const char*>(data), size});
    qm::fuzz::exerciseMessages(*host, input, root);
    return 0;
}
