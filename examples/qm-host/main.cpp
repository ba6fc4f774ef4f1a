// qm-host: a command-line host app for the library.
//
//   qm-host --bundle DIR --sandbox DIR VERB [ARGS]... [VERB [ARGS]...]...
//
// DIR of --bundle is an app folder with its Info.plist; the sandbox folder persists between
// runs. Verbs run in order, each followed by pumping the main run loop until the library is
// idle. Every log line of the library is printed.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "qmplatform/bundle.hpp"
#include "qmplatform/datetime.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/preferences.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/system_log.hpp"
#include "qmplatform/webview.hpp"
#include "quelmar/quelmar.hpp"

namespace {

using qm::Value;
namespace pf = qm::platform;

int usage() {
    std::fprintf(stderr,
                 "usage: qm-host --bundle DIR --sandbox DIR VERB [ARGS]...\n"
                 "verbs:\n"
                 "  info          print what the platform layer sees (bundle, sandbox, device, locale)\n"
                 "  init MODE     start the library with a mode text\n"
                 "  prefs         print the library's preferences (both suites)\n");
    return 2;
}

std::string pretty(const Value& v) {
    auto text = pf::json::write(v, {pf::json::WriteStyle::Pretty, true});
    return text ? *text : v.description();
}

void printInfo() {
    const auto& bundle = pf::Bundle::main();
    auto& device = pf::Device::current();
    Value facts{
        {"bundle", Value{{"path", bundle.path()}, {"identifier", bundle.bundleIdentifier()}, {"info", bundle.infoDictionary()}}},
        {"sandbox", Value{{"documents", pf::Sandbox::documentsDirectory()},
                          {"caches", pf::Sandbox::cachesDirectory()},
                          {"preferences", pf::Sandbox::preferencesDirectory()},
                          {"tmp", pf::Sandbox::temporaryDirectory()}}},
        {"device", Value{{"system", device.systemName()},
                         {"version", device.systemVersion()},
                         {"model", device.model()},
                         {"vendorIdentifier", device.identifierForVendor()},
                         {"userAgent", pf::WebView::defaultUserAgent()}}},
        {"locale", Value{{"identifier", pf::Locale::currentIdentifier()},
                         {"timeZone", pf::TimeZone::currentIdentifier()},
                         {"secondsFromGMT", pf::TimeZone::secondsFromGMT()},
                         {"now", pf::DateFormatter("yyyy-MM-dd HH:mm:ss").string(pf::Clock::currentDate())}}},
    };
    Value languages = Value::array();
    for (const auto& l : pf::Locale::preferredLanguages()) languages.append(Value(l));
    facts.set("preferredLanguages", languages);
    std::cout << pretty(facts) << std::endl;
}

void printPrefs() {
    Value all{{"library", pf::UserDefaults::suite("io.quelmar.sdk").dictionaryRepresentation()}};
    std::cout << pretty(all) << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    std::string bundleDir, sandboxDir;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--bundle" && i + 1 < argc) bundleDir = argv[++i];
        else if (a == "--sandbox" && i + 1 < argc) sandboxDir = argv[++i];
        else if (a == "--help" || a == "-h") return usage();
        else words.push_back(a);
    }
    if (bundleDir.empty() || sandboxDir.empty() || words.empty()) return usage();

    pf::RunLoop::main().setMainThread();
    pf::SystemLog::setSink([](std::string_view line) { std::cout << line << std::endl; });
    pf::Bundle::setMainBundlePath(bundleDir);
    if (!pf::Sandbox::configure(sandboxDir)) {
        std::fprintf(stderr, "qm-host: cannot use sandbox folder %s\n", sandboxDir.c_str());
        return 1;
    }

    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& verb = words[i];
        std::cout << "== " << verb;
        if (verb == "init" && i + 1 < words.size()) std::cout << " " << words[i + 1];
        std::cout << std::endl;
        if (verb == "info") {
            printInfo();
        } else if (verb == "init") {
            if (i + 1 >= words.size()) return usage();
            qm::quelmar::Initialize(Value(words[++i]));
        } else if (verb == "prefs") {
            printPrefs();
        } else {
            std::fprintf(stderr, "qm-host: unknown verb %s\n", verb.c_str());
            return usage();
        }
        pf::RunLoop::main().runUntilIdle(60);
    }
    pf::UserDefaults::synchronizeAll();
    return 0;
}
