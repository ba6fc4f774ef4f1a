// The throw-away app a fuzz target runs in: a bundle with account keys, a sandbox, a silent
// system log and this thread as the main thread.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "qmplatform/bundle.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/system_log.hpp"

namespace qm::fuzzing {

// `name` names the temporary folder ("/tmp/qm-<name>-XXXXXX").
inline void setUpApp(const std::string& name) {
    namespace pf = qm::platform;
    std::string dir = "/tmp/qm-" + name + "-XXXXXX";
    if (!mkdtemp(dir.data())) std::abort();
    std::filesystem::create_directories(dir + "/App.app");
    qm::Value info{{"CFBundleIdentifier", "com.example.fuzz"}, {"qmBrandID", 7}, {"qmSecretKey", "fuzz-secret"}};
    auto bytes = pf::plist::write(info, pf::plist::Format::XML);
    if (!bytes || !pf::Files::writeFileAtomically(dir + "/App.app/Info.plist", *bytes)) std::abort();
    pf::Bundle::setMainBundlePath(dir + "/App.app");
    pf::Sandbox::configure(dir + "/Sandbox");
    pf::SystemLog::setSink([](std::string_view) {});
    pf::RunLoop::main().setMainThread();
}

}  // namespace qm::fuzzing
