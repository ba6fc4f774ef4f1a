// Feeds arbitrary service answers through the library's answer handling: the JSON reader,
// then the settings answer (files, preferences, flags, deferred calls).
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/QMModuleState.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/system_log.hpp"

namespace {
std::shared_ptr<qm::qmInternalProcessClass> engine;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    namespace pf = qm::platform;
    char dir[] = "/tmp/qm-answer-fuzz-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    const std::string root = dir;
    std::filesystem::create_directories(root + "/App.app");
    qm::Value info{{"CFBundleIdentifier", "com.example.fuzz"}, {"qmBrandID", 7}, {"qmSecretKey", "fuzz-secret"}};
    auto bytes = pf::plist::write(info, pf::plist::Format::XML);
    if (!bytes || !pf::Files::writeFileAtomically(root + "/App.app/Info.plist", *bytes)) std::abort();
    pf::Bundle::setMainBundlePath(root + "/App.app");
    pf::Sandbox::configure(root + "/Sandbox");
    pf::SystemLog::setSink([](std::string_view) {});
    pf::RunLoop::main().setMainThread();
    engine = std::make_shared<qm::qmInternalProcessClass>();
    qm::QMModuleState::shared().setQmInternalProcess(engine);
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
