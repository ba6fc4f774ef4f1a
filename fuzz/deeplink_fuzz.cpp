// Feeds arbitrary text to the deep-link handlers as the URL an app was opened with: both
// facade handlers, the scene forwarder and the query-item lookup.
#include <cstdint>
#include <string>

#include "fuzz_app.hpp"

#include "core/qmGetFilteredData.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/url.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"
#include "quelmar/quelmar.hpp"

namespace {
std::shared_ptr<qm::platform::ViewController> home;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    namespace pf = qm::platform;
    qm::fuzzing::setUpApp("deeplink-fuzz");

    // A key window whose screen comes from a storyboard, so that links can present screens.
    auto storyboard = pf::Storyboard::named("Main");
    for (const char* name : {"Home", "Offers", "A"}) {
        storyboard->registerViewController(name, [] { return std::make_shared<pf::ViewController>(); });
    }
    home = storyboard->instantiateViewControllerWithIdentifier("Home");
    auto window = std::make_shared<pf::Window>();
    window->setRootViewController(home);
    window->makeKeyAndVisible();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    qm::quelmar::OpenUrlWithApplication(nullptr, qm::Value(text));
    (void)qm::quelmar::OpenUrlGetDataWithApplication(nullptr, qm::Value(text));
    qm::quelmar::scene(nullptr, std::vector<std::string>{text});
    if (auto url = qm::platform::URL::parse(text)) {
        (void)qm::qmGetFilteredData::sharedInstance().valueForKey("utm_source", url->queryItems());
    }
    // Back to the home screen for the next input.
    home->dismissViewControllerAnimated(false);
    qm::platform::RunLoop::main().runUntilIdle(1);
    return 0;
}
