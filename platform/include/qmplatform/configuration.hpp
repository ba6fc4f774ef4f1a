// Everything a host tells the platform layer about where and how it runs, filled in once
// and handed over before the library starts:
//
//     qm::platform::Configuration config;
//     config.mainBundlePath = "/opt/myapp/MyApp.app";
//     config.sandboxPath = "/home/me/.local/share/myapp";
//     config.logSink = [](std::string_view line) { std::clog << line << '\n'; };
//     if (!qm::platform::configure(std::move(config))) return 1;
//     qm::quelmar::sharedInstance().Initialize(...);
//
// Members left empty keep the platform's defaults (the real clock, libcurl, the system
// log, the machine's own device facts).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::platform {

class Clock;
class ImageCodec;
class MediaProbe;
class Transport;
class WebEngine;

struct Configuration {
    // The app folder with its Info.plist and resources. Required.
    std::string mainBundlePath;
    // The app's container (Documents, Library, tmp are made inside). Required.
    std::string sandboxPath;
    // Where app-group containers live ("<sandbox>/../AppGroups" when empty).
    std::string appGroupContainersPath;

    // Device facts the host wants reported instead of the machine's own readings.
    std::optional<std::string> systemName;
    std::optional<std::string> systemVersion;
    std::optional<std::string> model;
    std::optional<std::string> identifierForVendor;
    std::optional<std::string> carrierName;
    std::optional<std::string> radioAccessTechnology;

    // Development hosts only: "HOST:PORT" every request and reachability check goes to,
    // whatever host name the URL carries, and a PEM file of certificate authorities to
    // trust (in place of the system's) when talking to it.
    std::optional<std::string> serviceAddress;
    std::optional<std::string> caFile;

    // Where log lines go (the system log when empty). Called from any thread, without a
    // lock held.
    std::function<void(std::string_view line)> logSink;
    // The clock "now" and every timer is read from (the system clock when empty).
    std::shared_ptr<Clock> clock;
    // What carries URL requests (libcurl when empty; see transport.hpp). The connect-to
    // address and CA file above are libcurl's.
    std::shared_ptr<Transport> transport;
    // The browser engine web views run their pages in (when empty: the web library's
    // helper-process engine where its helper program is installed, else the headless one).
    std::shared_ptr<WebEngine> webEngine;
    // Decodes pictures (none when empty: images are not decoded). The media library's
    // codec reads PNG, JPEG, GIF and WebP.
    std::shared_ptr<ImageCodec> imageCodec;
    // Reads what media files hold (none when empty: notification attachments are refused).
    // The media library's prober reads pictures, sounds and films.
    std::shared_ptr<MediaProbe> mediaProbe;

    // Regional settings in place of the machine's (ICU identifiers, e.g. "Europe/Berlin",
    // "de_DE", {"de-DE", "en"}).
    std::optional<std::string> timeZone;
    std::optional<std::string> locale;
    std::optional<std::vector<std::string>> preferredLanguages;
};

// Applies the configuration; the calling thread becomes the main thread, whose run loop the
// host pumps, and the application, the screen and the user-notification center start afresh
// (no windows, the default URL schemes, badge 0, active; a phone's screen; notifications not
// yet allowed, nothing scheduled or delivered): call it before setting up windows, the screen
// and URL handling, and before the library's first use. Calling it again replaces everything (members left empty fall back to the
// defaults). False, with a log line, when a required
// folder is missing or cannot be created.
bool configure(Configuration configuration);

// Ends the platform's work in order within `timeoutSeconds` of real time: URL tasks still
// running at the deadline are cancelled (those of background sessions stay recorded and the
// next process sends them), blocks already queued on global and serial queues run, unwritten
// preferences are written, and the platform's threads (transport, timers, queue workers,
// preference writer) are joined. Used by the library's orderly stop; the platform starts
// its threads again when it is used afterwards. True when nothing had to be cut short.
bool shutdown(double timeoutSeconds);

}  // namespace qm::platform
