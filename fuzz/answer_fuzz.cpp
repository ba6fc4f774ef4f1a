// Feeds arbitrary service answers through the library's answer handling: the JSON reader,
// then the settings answer (files, preferences, flags, deferred calls).
#include <cstdint>
#include <string>

#include "fuzz_app.hpp"

#include "core/QMRuntime.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/json.hpp"

namespace {
std::shared_ptr<qm::qmInternalProcessClass> engine;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qm::fuzzing::setUpApp("answer-fuzz");
    engine = qm::QMRuntime::shared().beginLaunch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto answer = qm::platform::json::parse(text);
    if (!answer) return 0;
    engine->qmUpdateSettingsFetchedFromServerWithResponseDict(*answer);
    qm::platform::RunLoop::main().runOnce();
    return 0;
}
