#include "qmplatform/configuration.hpp"

#include <string>

#include "lifetime.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/clock.hpp"
#include "qmplatform/datetime.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/image.hpp"
#include "qmplatform/media_probe.hpp"
#include "qmplatform/network.hpp"
#include "qmplatform/preferences.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/screen.hpp"
#include "qmplatform/system_log.hpp"
#include "qmplatform/transport.hpp"
#include "qmplatform/url_session.hpp"
#include "qmplatform/user_notifications.hpp"
#include "qmplatform/web_engine.hpp"

namespace qm::platform {

bool configure(Configuration config) {
    RunLoop::main().setMainThread();
    // The application and the screen start afresh: a phone's screen until the host says
    // otherwise.
    Application::shared().reset();
    Screen::main().reset();
    UserNotificationCenter::current().reset();
    // The sink first, so that what goes wrong below is reported where the host looks.
    SystemLog::setSink(std::move(config.logSink));
    Clock::setCurrent(std::move(config.clock));

    TimeZone::setCurrent(config.timeZone.value_or(""));
    Locale::setCurrent(config.locale.value_or(""));
    Locale::setPreferredLanguages(config.preferredLanguages.value_or(std::vector<std::string>{}));

    Device& device = Device::current();
    device.setSystemName(std::move(config.systemName));
    device.setSystemVersion(std::move(config.systemVersion));
    device.setModel(std::move(config.model));
    device.setIdentifierForVendor(std::move(config.identifierForVendor));
    Telephony::setCarrierName(std::move(config.carrierName));
    Telephony::setCurrentRadioAccessTechnology(std::move(config.radioAccessTechnology));

    Transport::setCurrent(std::move(config.transport));
    URLSession::setConnectTo(config.serviceAddress);
    NetworkReachability::setRouteOverride(config.serviceAddress);
    URLSession::setCAFile(std::move(config.caFile));
    setConfiguredWebEngine(std::move(config.webEngine));
    ImageCodec::setCurrent(std::move(config.imageCodec));
    MediaProbe::setCurrent(std::move(config.mediaProbe));

    bool usable = true;
    if (config.mainBundlePath.empty()) {
        SystemLog::write("quelmar: the configuration names no main bundle folder");
        usable = false;
    } else {
        Bundle::setMainBundlePath(config.mainBundlePath);
        Bundle::main().reload();
    }
    if (config.sandboxPath.empty()) {
        SystemLog::write("quelmar: the configuration names no sandbox folder");
        usable = false;
    } else if (!Sandbox::configure(config.sandboxPath, config.appGroupContainersPath)) {
        SystemLog::write("quelmar: cannot use the sandbox folder " + config.sandboxPath);
        usable = false;
    }
    return usable;
}

bool shutdown(double timeoutSeconds) {
    const detail::Deadline deadline(timeoutSeconds);
    bool finished = detail::stopTransport(deadline);
    finished = detail::stopQueues(deadline) && finished;
    finished = UserDefaults::flushAll(deadline.remaining()) && finished;
    return finished;
}

}  // namespace qm::platform
