// Feeds push payloads (see push_fuzz_input.hpp) through every push entry of the library: shown
// in front, received in the background, tapped on the notification or a button, the click-data
// helpers, the view id, the received-push record, the badge, the buttons' category and the
// notification-service extension's LoadAttachmentWithRequest, in a started library on the test
// host (manual clock, requests answered without a socket). A crash, a sanitizer report or a
// completion not called exactly once is the finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "push_fuzz_input.hpp"
#include "../tests/unit/engine_test_access.hpp"

// OpenSSL keeps one random generator per thread that asks it for bytes (attachments take a
// UUID on the download's queue), held in thread-local storage of queue workers that live to
// the end; it is OpenSSL's, bounded by the number of workers, and shows up at exit. The fast
// unwinder stops inside the uninstrumented library, so only its name can be matched.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcrypto.so\n"; }

namespace {
qm::testkit::TestHost* host = nullptr;  // lives as long as the process
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    namespace pf = qm::platform;
    pf::RunLoop::main().setMainThread();
    host = new qm::testkit::TestHost(qm::fuzz::pushHostOptions(std::make_shared<qm::fuzz::PushTransport>()));
    pf::MediaProbe::setCurrent(std::make_shared<qm::fuzz::PushMediaProbe>());
    qm::quelmar::Initialize("live");
    qm::qmEngineTestAccess::setBrandSettingsComplete(*qm::QMRuntime::shared().qmInternalProcess(), true);
    host->runUntilIdle(5);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;  // 32 steps at most; longer inputs only carry unused bytes
    const auto input = qm::fuzz::decodePushInput({reinterpret_cast<const char*>(data), size});
    const auto run = qm::fuzz::exercisePush(*host, input);
    if (!run.allOnce()) {
        for (const auto& fault : run.faults) std::fprintf(stderr, "push_fuzz: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
