// qm-host: a command-line host app for the library.
//
//   qm-host --bundle DIR --sandbox DIR [--service HOST:PORT --ca FILE | --embedded-service DIR
//           [--fixture-set NAME]] [--desktop-notifications] VERB [ARGS]... [VERB [ARGS]...]...
//
// DIR of --bundle is an app folder with its Info.plist; the sandbox folder persists between
// runs. --service points every service host name at HOST:PORT and trusts the CA in FILE;
// --embedded-service starts the local service counterpart inside this process (its state
// in DIR, answering from the fixture set NAME when given) and points the library at it. Verbs run in order, each followed by pumping the
// main run loop until the library is idle (at most --settle seconds); at the end the
// library is stopped within --stop-deadline seconds. Every log line of the library and
// every delegate callback (as JSON) is printed. Notifications the center shows go to its
// recording presenter; --desktop-notifications shows them on the desktop instead where the
// build and the session allow it (the `notifications` verb lists them either way).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qmplatform/application.hpp"
#include "qmplatform/clock.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/configuration.hpp"
#include "qmplatform/datetime.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/network.hpp"
#include "qmplatform/notification_center.hpp"
#include "qmplatform/url_session.hpp"
#include "qmplatform/user_notifications.hpp"
#include "qmplatform/preferences.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/system_log.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmmedia/media.hpp"
#include "qmmedia/media_probe.hpp"
#include "qmui/color.hpp"
#include "qmui/layout_constraint.hpp"
#include "qmui/scroll_view.hpp"
#include "qmui/view.hpp"
#include "qmweb/headless_engine.hpp"
#include "qmplatform/window.hpp"
#include "quelmar/quelmar.hpp"
#include "push_payload.hpp"
#include "settle.hpp"
#include "screen_verbs.hpp"
#ifdef QM_HOST_WITH_SERVICE
#include "qmservice/local_service.hpp"
#endif
#ifdef QM_HOST_WITH_DESKTOP_NOTIFICATIONS
#include "qmnotify/desktop_presenter.hpp"
#endif

namespace {

using qm::Value;
namespace pf = qm::platform;

int usage() {
    std::fprintf(stderr,
                 "usage: qm-host --bundle DIR --sandbox DIR [--service HOST:PORT --ca FILE | --embedded-service DIR\n"
                 "               [--fixture-set NAME]] [--desktop-notifications] [--extension-bundle DIR]\n"
                 "               [--settle SECONDS] [--stop-deadline SECONDS] VERB [ARGS]...\n"
                 "  --settle            longest wait for the library to be idle after each verb (60)\n"
                 "  --stop-deadline     how long the library's stop at the end may take (5)\n"
                 "  --desktop-notifications   show notifications on the desktop (needs a build with\n"
                 "                      libnotify and a session bus; otherwise they stay with the recording presenter)\n"
                 "verbs:\n"
                 "  info                       print what the platform layer sees (bundle, sandbox, device, locale)\n"
                 "  init MODE                  start the library with a mode text\n"
                 "  track NAME [--attr k=v]... [--ltv V] [--scope N]\n"
                 "                             track an event (scope 1 unless given)\n"
                 "  identify ID [--param k=v]...  identify the app user\n"
                 "  uid                        print the service's user id (waits for set-up)\n"
                 "  background | foreground    the app leaves or enters the foreground\n"
                 "  wait SECONDS               keep serving the main run loop for a while\n"
                 "  prefs                      print the library's preferences\n"
                 "  open-url URL               open the app with a deep link; prints what the library did with it\n"
                 "  cookies                    print the stored campaign cookies\n"
                 "  requests                   print the requests the embedded service received\n"
                 "  screen NAME                show the storyboard screen NAME (class NAME) on top\n"
                 "  show [--token k=v]... [--rule k=v]... [--sheet FILE]\n"
                 "                             ask for an in-app campaign on the top screen; waits for it to enter\n"
                 "                             (--sheet: a PNG contact sheet of its entrance, 8 frames over 1.4 s)\n"
                 "  views                      print the key window's views, one JSON line each\n"
                 "  scroll PERCENT             scroll the top screen's scroll view that far and tell the library\n"
                 "  tap WHAT                   tap close, cta1, cta2, outside, or a view path from views\n"
                 "  clock SECONDS              move the library's clock forward (timers due on the way fire)\n"
                 "  page-click SELECTOR        click an element of the campaign's page (its own handlers run)\n"
                 "  page-message NAME BODY     the campaign's page posts BODY (a text) to the message handler NAME\n"
                 "  dismiss-all | stop         take every in-app campaign off the screen | cancel pending ones\n"
                 "  snapshot FILE              write a PNG of the key window (web views as their engine drew them)\n"
                 "  push-authorize granted|denied|provisional   what the user answers when asked about pushes\n"
                 "  push-register              the app registers for pushes through the library\n"
                 "  push-token HEX             the system hands the app its push token (hexadecimal bytes)\n"
                 "  push-receive FILE [--state active|inactive|background]   a push with that payload arrives\n"
                 "  push-open FILE|last [--action IDENTIFIER]   the user taps the push (or one of its buttons);\n"
                 "                             last: the push received last\n"
                 "  push-extension FILE        a push arrives while the app is in the background: the extension of\n"
                 "                             --extension-bundle DIR (qm-extension, its sandbox beside the app's)\n"
                 "                             prepares it, and the content it made is shown\n"
                 "  badge VALUE                raise (0), lower (1) or clear (2) the library's badge count\n"
                 "  notifications              the delivered notifications and the app's badge\n"
                 "  push-prefs CATEGORIES [--unsubscribe-all]\n"
                 "                             the user's push preferences (comma-separated categories, may be \"\")\n"
                 "  schedule ID TAG SECONDS TITLE MESSAGE URL ICON\n"
                 "                             ask the service to send this device push ID (tag TAG) in SECONDS\n"
                 "  geofence-block DATE HOURS  stop geofence pushes until DATE plus HOURS; prints the stored block\n");
    return 2;
}

// The app's notification delegate: hands pushes shown in front and taps to the library, as an
// app's delegate forwards them.
class PushDelegate : public pf::UserNotificationCenterDelegate {
public:
    void willPresentNotification(pf::UserNotificationCenter&, const std::shared_ptr<pf::UserNotification>& notification,
                                 std::function<void(unsigned long)> completionHandler) override {
        qm::quelmar::willPresentNotification(notification, [completionHandler](unsigned long options) {
            std::cout << "present: options " << options << std::endl;
            if (completionHandler) completionHandler(options);
        });
    }
    void didReceiveNotificationResponse(pf::UserNotificationCenter&, const std::shared_ptr<pf::UserNotificationResponse>& response,
                                        std::function<void()> completionHandler) override {
        qm::quelmar::didReceiveNotificationResponse(response);
        if (completionHandler) completionHandler();
    }
};

// Prints every delegate callback as one JSON line.
class PrintingDelegate : public qm::quelmarDelegate {
public:
    void quelmarEventsResponseCallback(const Value& userInfo) override {
        auto text = pf::json::write(userInfo);
        std::cout << "delegate: " << (text ? *text : userInfo.description()) << std::endl;
    }
};

// Hexadecimal text ("0aff...") to its bytes; nothing for text that is not an even count of
// hexadecimal digits.
std::optional<qm::Bytes> hexBytes(const std::string& text) {
    if (text.empty() || text.size() % 2 != 0) return std::nullopt;
    qm::Bytes bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        for (std::size_t j = i; j < i + 2; ++j) {
            const char c = text[j];
            const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit < 0) return std::nullopt;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

// "k=v" into a dictionary entry.
void addPair(Value& dict, const std::string& pair) {
    auto eq = pair.find('=');
    if (eq == std::string::npos) dict.set(pair, "");
    else dict.set(pair.substr(0, eq), pair.substr(eq + 1));
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
                         {"userAgent", pf::HeadlessWebEngine::userAgent()}}},
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

// The geofence-push block as the library stored it: its start and its length in minutes.
void printGeofenceBlock() {
    auto& library = pf::UserDefaults::suite("io.quelmar.sdk");
    for (const char* key : {"qm_GeoTransactionalEventStoredDate", "qm_blockGeofencePushForHours"}) {
        const Value stored = library.objectForKey(key);
        std::cout << "stored: " << key << " = " << (stored ? stored.description() : std::string("(none)")) << std::endl;
    }
}

// Shows notifications on the desktop when this build has the desktop presenter and the
// session allows it; otherwise says why and keeps the center's recording presenter.
void useDesktopNotifications() {
#ifdef QM_HOST_WITH_DESKTOP_NOTIFICATIONS
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!bus || !*bus) {
        std::cout << "desktop notifications: off, there is no session bus (DBUS_SESSION_BUS_ADDRESS is not set); "
                     "keeping the recording presenter"
                  << std::endl;
        return;
    }
    const Value name = pf::Bundle::main().objectForInfoDictionaryKey("CFBundleName");
    auto desktop = pf::notify::desktopPresenter(name.isString() && !name.string().empty() ? name.string() : "qm-host");
    if (!desktop) {
        std::cout << "desktop notifications: off, the desktop notification service could not be reached; "
                     "keeping the recording presenter"
                  << std::endl;
        return;
    }
    pf::UserNotificationCenter::current().setPresenter(desktop);
    std::cout << "desktop notifications: on" << std::endl;
#else
    std::cout << "desktop notifications: off, this build has no desktop presenter (libnotify was not found); "
                 "keeping the recording presenter"
              << std::endl;
#endif
}

// The notification-service extension: qm-extension, beside this program, run as its own
// process on a push as the system runs an app's extension. Its output lines are printed with
// "extension: " before them; the content it would show is its last line, as JSON.
extern "C" char** environ;
std::optional<Value> runExtension(const std::vector<std::string>& arguments) {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return std::nullopt;
    std::string program(self, static_cast<std::size_t>(length));
    program = program.substr(0, program.rfind('/') + 1) + "qm-extension";
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    if (spawned != 0) {
        ::close(pipeEnds[0]);
        std::cout << "extension: cannot start " << program << ": " << std::strerror(spawned) << std::endl;
        return std::nullopt;
    }
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeEnds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::optional<Value> content;
    for (std::size_t at = 0; at < output.size();) {
        const std::size_t end = std::min(output.find('\n', at), output.size());
        const std::string line = output.substr(at, end - at);
        at = end + 1;
        if (line.empty()) continue;
        std::cout << "extension: " << line << std::endl;
        if (line.front() == '{') content = pf::json::parse(line);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return content;
}

// The notification the extension's content makes, with its attachments.
pf::NotificationContent contentFromExtension(const Value& shown) {
    pf::NotificationContent content = qm::examples::contentOf(shown["userInfo"]);
    content.title = shown["title"].isString() ? shown["title"].string() : "";
    content.body = shown["body"].isString() ? shown["body"].string() : "";
    content.badge = shown["badge"].isNumber() ? shown["badge"] : Value();
    for (const Value& item : shown["attachments"].arrayItems()) {
        pf::Error error;
        auto attachment = pf::NotificationAttachment::attachmentWithIdentifier(item["identifier"].description(),
                                                                               item["file"].description(), {}, error);
        if (attachment) content.attachments.push_back(attachment);
        else std::cout << "extension: attachment refused: " << error.description() << std::endl;
    }
    return content;
}

void printCookies() {
    Value cookies = Value::dictionary();
    auto& library = pf::UserDefaults::suite("io.quelmar.sdk");
    for (const char* key : {"qm_AppCookieSess", "qm_AppCookieUID", "qm_AppCookieUTM", "qm_AppCookieEventsHitID",
                            "qm_AppCookieEventsHitUID", "qm_AppCookiePuClId"}) {
        if (Value record = library.objectForKey(key)) cookies.set(key, record);
    }
    std::cout << "cookies: " << pretty(cookies) << std::endl;
}

// The system clock moved forward by the `clock` verb: timers and delayed blocks whose
// deadlines the jump passes fire at once, as after a real wait.
class ShiftedClock final : public pf::Clock {
public:
    explicit ShiftedClock(double shift) : shift_(shift) {}
    qm::Date now() const override { return system_.now().adding(shift_); }
    double shift() const { return shift_; }

private:
    pf::SystemClock system_;
    double shift_;
};

// The host app's screens: a navigation stack with "Home" in the key window; the storyboard
// also knows "Offers", "Profile" and "Settings". The two click notifications are printed.
struct HostScreens {
    HostScreens() {
        auto storyboard = pf::Storyboard::named("Main");
        for (const char* name : {"Home", "Offers", "Profile", "Settings", "HomeViewController", "OffersViewController",
                                 "ProfileViewController", "SettingsViewController"}) {
            storyboard->registerViewController(name, [name] { return std::make_shared<pf::ViewController>(name); });
        }
        pf::Storyboard::setMain("Main");
        home = storyboard->instantiateViewControllerWithIdentifier("Home");
        window = std::make_shared<pf::Window>();
        window->setRootViewController(pf::NavigationController::withRootViewController(home));
        window->makeKeyAndVisible();
        for (const char* name : {"QMInAppViewConroller", "qmNotificationClickCallback"}) {
            tokens.push_back(pf::NotificationCenter::defaultCenter().addObserver(name, [](const pf::Notification& n) {
                auto text = pf::json::write(n.userInfo);
                std::cout << "notification " << n.name << ": " << (text ? *text : n.userInfo.description()) << std::endl;
            }));
        }
    }

    // After a deep link: the screen presented over Home (then dismissed again, so that the
    // next link starts from Home) and the URLs the app opened.
    void report(std::size_t openedBefore) {
        if (auto screen = home->presentedViewController()) {
            std::cout << "presented: " << screen->className()
                      << (screen->modalPresentationStyle() == pf::ModalPresentationStyle::FullScreen ? " (full screen)" : "")
                      << std::endl;
            home->dismissViewControllerAnimated(false);
        } else {
            std::cout << "presented: nothing" << std::endl;
        }
        const auto opened = pf::Application::shared().openedURLs();
        for (std::size_t i = openedBefore; i < opened.size(); ++i) std::cout << "opened: " << opened[i] << std::endl;
    }

    // Pushes the screen NAME (a controller of class NAME, made known to the storyboard first
    // when it is not) onto the navigation stack.
    void push(const std::string& name) {
        auto storyboard = pf::Storyboard::named("Main");
        if (storyboard->identifierToNibNameMap().count(name) == 0) {
            storyboard->registerViewController(name, [name] { return std::make_shared<pf::ViewController>(name); });
        }
        auto screen = storyboard->instantiateViewControllerWithIdentifier(name);
        auto navigation = home->navigationController();
        if (!navigation) return;
        navigation->pushViewController(screen, false);
        // The screen's view takes the navigation's place on screen, and every screen scrolls:
        // content three screens tall (the `scroll` verb drives it).
        auto stage = pf::viewOf(*navigation);
        for (const auto& shown : stage->subviews()) shown->removeFromSuperview();
        auto content = pf::viewOf(*screen);
        content->setBackgroundColor(pf::Color::whiteColor());
        auto scroller = std::make_shared<pf::ScrollView>();
        fill(stage, content);
        fill(content, scroller);
    }

    // Adds `view` to `parent`, filling it.
    static void fill(const std::shared_ptr<pf::View>& parent, const std::shared_ptr<pf::View>& view) {
        view->setTranslatesAutoresizingMaskIntoConstraints(false);
        parent->addSubview(view);
        std::map<std::string, std::shared_ptr<pf::View>, std::less<>> views{{"view", view}};
        for (const char* format : {"H:|[view]|", "V:|[view]|"}) {
            pf::LayoutConstraint::activateConstraints(pf::LayoutConstraint::constraintsWithVisualFormat(format, 0, {}, views));
        }
    }

    // The screen on top: a presented one, else the top of the navigation stack.
    std::string topScreen() const {
        auto navigation = home->navigationController();
        std::shared_ptr<pf::ViewController> top = navigation ? navigation->topViewController() : home;
        while (top && top->presentedViewController()) top = top->presentedViewController();
        return top ? top->className() : "nothing";
    }

    // Scrolls the top screen's scroll view to `percent` of its scrollable height and tells
    // the library. False when the top screen has no scroll view.
    bool scroll(double percent) {
        auto navigation = home->navigationController();
        auto top = navigation ? navigation->topViewController() : home;
        std::shared_ptr<pf::ScrollView> scroller;
        if (top) {
            for (const auto& view : pf::viewOf(*top)->subviews()) {
                if (auto candidate = std::dynamic_pointer_cast<pf::ScrollView>(view)) scroller = candidate;
            }
        }
        if (!scroller) return false;
        if (auto root = pf::viewOf(*window)) root->layoutIfNeeded();
        const pf::Rect shown = scroller->bounds();
        if (scroller->contentSize().height <= shown.height) scroller->setContentSize({shown.width, shown.height * 3});
        const double range = scroller->contentSize().height - scroller->bounds().height;
        scroller->setContentOffset({0, std::max(0.0, range) * std::clamp(percent, 0.0, 100.0) / 100});
        qm::quelmar::scrollViewDidScroll(scroller);
        std::cout << "scroll view: offset " << scroller->contentOffset().y << " of content " << scroller->contentSize().height
                  << " in a frame " << scroller->frame().height << " high" << std::endl;
        return true;
    }

    std::shared_ptr<pf::ViewController> home;
    std::shared_ptr<pf::Window> window;
    std::vector<pf::NotificationCenter::Token> tokens;
};

}  // namespace


int main(int argc, char** argv) {
    std::string bundleDir, sandboxDir, serviceAddress, caFile, embeddedDir, fixtureSet, extensionBundle;
    double settleSeconds = 60, stopSeconds = 5;
    std::vector<std::string> words;
    bool verbsStarted = false, desktopNotifications = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (!verbsStarted && a == "--bundle" && i + 1 < argc) bundleDir = argv[++i];
        else if (!verbsStarted && a == "--sandbox" && i + 1 < argc) sandboxDir = argv[++i];
        else if (!verbsStarted && a == "--service" && i + 1 < argc) serviceAddress = argv[++i];
        else if (!verbsStarted && a == "--ca" && i + 1 < argc) caFile = argv[++i];
        else if (!verbsStarted && a == "--embedded-service" && i + 1 < argc) embeddedDir = argv[++i];
        else if (!verbsStarted && a == "--fixture-set" && i + 1 < argc) fixtureSet = argv[++i];
        else if (!verbsStarted && a == "--settle" && i + 1 < argc) settleSeconds = std::strtod(argv[++i], nullptr);
        else if (!verbsStarted && a == "--stop-deadline" && i + 1 < argc) stopSeconds = std::strtod(argv[++i], nullptr);
        else if (!verbsStarted && a == "--desktop-notifications") desktopNotifications = true;
        else if (!verbsStarted && a == "--extension-bundle" && i + 1 < argc) extensionBundle = argv[++i];
        else if (!verbsStarted && (a == "--help" || a == "-h")) return usage();
        else {
            verbsStarted = true;
            words.push_back(a);
        }
    }
    if (bundleDir.empty() || sandboxDir.empty() || words.empty()) return usage();
    // The environment stands in for --service and --ca; the host reads it, the library never does.
    if (const char* address = std::getenv("QM_SERVICE_ADDRESS"); serviceAddress.empty() && address && *address) {
        serviceAddress = address;
    }
    if (const char* ca = std::getenv("QM_SERVICE_CA"); caFile.empty() && ca && *ca) caFile = ca;

#ifdef QM_HOST_WITH_SERVICE
    std::unique_ptr<qm::service::LocalService> embedded;
    if (!embeddedDir.empty()) {
        qm::service::LocalService::Options options;
        options.stateDir = embeddedDir;
        options.fixtureSet = fixtureSet;
        embedded = std::make_unique<qm::service::LocalService>(options);
        if (!embedded->start()) {
            std::fprintf(stderr, "qm-host: the embedded service did not start: %s\n", embedded->lastError().c_str());
            return 1;
        }
        serviceAddress = embedded->address();
        caFile = embedded->caFile();
        std::cout << "embedded service on https://" << serviceAddress << std::endl;
    }
#else
    if (!embeddedDir.empty()) {
        std::fprintf(stderr, "qm-host: built without the local service\n");
        return 2;
    }
#endif
    pf::Configuration config;
    config.mainBundlePath = bundleDir;
    config.sandboxPath = sandboxDir;
    if (!serviceAddress.empty()) config.serviceAddress = serviceAddress;
    if (!caFile.empty()) config.caFile = caFile;
    config.logSink = [](std::string_view line) { std::cout << line << std::endl; };
    // Image campaigns and the close button's picture need a picture decoder.
    config.imageCodec = pf::media::imageCodec();
    // Attachments of the extension's pushes are checked by reading them.
    config.mediaProbe = pf::media::mediaProbe();
    if (!pf::configure(std::move(config))) {
        std::fprintf(stderr, "qm-host: cannot use bundle folder %s or sandbox folder %s\n", bundleDir.c_str(),
                     sandboxDir.c_str());
        return 1;
    }
    // The device has a phone and one other app ("otherapp:") besides the browser.
    for (const char* scheme : {"tel", "telprompt", "otherapp"}) pf::Application::shared().registerURLScheme(scheme);
    if (desktopNotifications) useDesktopNotifications();
    auto pushDelegate = std::make_shared<PushDelegate>();
    std::shared_ptr<pf::UserNotification> lastPush;  // the last push the host received
    auto delegate = std::make_shared<PrintingDelegate>();
    qm::quelmar::sharedInstance().delegate = delegate;

    HostScreens screens;

    auto isOption = [&](std::size_t at) { return at < words.size() && words[at].rfind("--", 0) == 0; };
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& verb = words[i];
        // The verb's own words: a fixed count, then "--option value" pairs for track/identify.
        std::size_t end = i + 1;
        if (verb == "init" || verb == "wait" || verb == "track" || verb == "identify" || verb == "open-url" ||
            verb == "screen" || verb == "tap" || verb == "snapshot" || verb == "scroll" || verb == "clock" ||
            verb == "page-click" || verb == "push-token" || verb == "push-prefs" || verb == "push-authorize" ||
            verb == "push-receive" || verb == "push-open" || verb == "badge" || verb == "push-extension")
            ++end;
        if ((verb == "push-receive" && end < words.size() && words[end] == "--state") ||
            (verb == "push-open" && end < words.size() && words[end] == "--action"))
            end += 2;
        if (verb == "push-prefs" && end < words.size() && words[end] == "--unsubscribe-all") ++end;
        if (verb == "page-message" || verb == "geofence-block") end += 2;
        if (verb == "schedule") end += 7;
        if (verb == "show") {
            while (end + 1 < words.size() + 1 && isOption(end)) end += 2;
        }
        if (verb == "track" || verb == "identify") {
            while (end + 1 < words.size() + 1 && isOption(end)) end += 2;
        }
        std::string shown;
        for (std::size_t j = i; j < std::min(end, words.size()); ++j) shown += (j == i ? "" : " ") + words[j];
        std::cout << "== " << shown << std::endl;
        const std::size_t openedBefore = pf::Application::shared().openedURLs().size();
        bool reportTopScreen = false;  // after verbs that may route to another screen
        auto argument = [&]() -> std::optional<std::string> {
            if (i + 1 >= words.size()) return std::nullopt;
            return words[++i];
        };
        if (verb == "info") {
            printInfo();
        } else if (verb == "init") {
            auto mode = argument();
            if (!mode) return usage();
            qm::quelmar::Initialize(Value(*mode));
        } else if (verb == "track") {
            auto name = argument();
            if (!name) return usage();
            Value attributes = Value::dictionary();
            Value ltv;
            long scope = 1;
            while (isOption(i + 1)) {
                const std::string option = words[++i];
                auto value = argument();
                if (!value) return usage();
                if (option == "--attr") addPair(attributes, *value);
                else if (option == "--ltv") ltv = Value(*value);
                else if (option == "--scope") scope = std::strtol(value->c_str(), nullptr, 10);
                else return usage();
            }
            qm::quelmar::trackEvents(Value(*name), attributes, ltv, scope);
        } else if (verb == "identify") {
            auto id = argument();
            if (!id) return usage();
            Value params = Value::dictionary();
            while (isOption(i + 1)) {
                const std::string option = words[++i];
                auto value = argument();
                if (!value || option != "--param") return usage();
                addPair(params, *value);
            }
            qm::quelmar::UserIdentifier(Value(*id), params);
        } else if (verb == "push-authorize") {
            auto answer = argument();
            if (!answer) return usage();
            const std::map<std::string, pf::AuthorizationAnswer> answers{{"granted", pf::AuthorizationAnswer::Granted},
                                                                          {"denied", pf::AuthorizationAnswer::Denied},
                                                                          {"provisional", pf::AuthorizationAnswer::Provisional}};
            auto found = answers.find(*answer);
            if (found == answers.end()) return usage();
            pf::UserNotificationCenter::current().setAuthorizationAnswer(found->second);
        } else if (verb == "push-register") {
            qm::quelmar::RegisterPushWithDelegate(pushDelegate, nullptr, Value());
            pf::RunLoop::main().runUntil([] { return pf::Application::shared().isRegisteredForRemoteNotifications(); }, 5);
            std::cout << "registered for pushes: "
                      << (pf::Application::shared().isRegisteredForRemoteNotifications() ? "yes" : "no") << std::endl;
        } else if (verb == "push-receive") {
            auto file = argument();
            if (!file) return usage();
            std::optional<pf::ApplicationState> state;
            if (i + 1 < words.size() && words[i + 1] == "--state") {
                const std::string name = i + 2 < words.size() ? words[i + 2] : "";
                i += 2;
                if (name == "active") state = pf::ApplicationState::Active;
                else if (name == "inactive") state = pf::ApplicationState::Inactive;
                else if (name == "background") state = pf::ApplicationState::Background;
                else return usage();
            }
            auto payload = qm::examples::readPayload(*file, std::cout);
            if (!payload) continue;
            lastPush = pf::UserNotificationCenter::current().receive(qm::examples::contentOf(*payload), state);
            std::cout << (lastPush ? "received: " + lastPush->request()->identifier() : std::string("received: not shown"))
                      << std::endl;
        } else if (verb == "push-extension") {
            auto file = argument();
            if (!file) return usage();
            if (extensionBundle.empty()) {
                std::cout << "extension: no --extension-bundle given" << std::endl;
                continue;
            }
            // The extension's sandbox is beside the app's, so that the two share the app group.
            std::string parent = sandboxDir;
            while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
            parent = parent.find('/') == std::string::npos ? "." : parent.substr(0, parent.rfind('/'));
            std::vector<std::string> arguments{"--bundle", extensionBundle, "--sandbox",
                                               (parent.empty() ? std::string("/") : parent) + "/extension"};
            if (!serviceAddress.empty()) arguments.insert(arguments.end(), {"--service", serviceAddress});
            if (!caFile.empty()) arguments.insert(arguments.end(), {"--ca", caFile});
            // The request's identifier is the same in both processes, as on the phone.
            const std::string identifier = pf::Device::makeUUID();
            arguments.insert(arguments.end(), {"--identifier", identifier, *file});
            auto prepared = runExtension(arguments);
            if (!prepared || !prepared->isDictionary()) {
                std::cout << "extension: no content" << std::endl;
                continue;
            }
            // The system shows what the extension made of the push; the app is in the background.
            lastPush = pf::UserNotificationCenter::current().receive(
                pf::UserNotificationRequest::requestWithIdentifier(identifier, contentFromExtension(*prepared)),
                pf::ApplicationState::Background);
            if (!lastPush) {
                std::cout << "received: not shown" << std::endl;
                continue;
            }
            std::cout << "received: " << lastPush->request()->identifier() << std::endl;
            for (const auto& attachment : lastPush->request()->content()->attachments) {
                std::cout << "attachment: " << pf::attachmentTypeName(attachment->type()) << " " << attachment->path()
                          << std::endl;
            }
        } else if (verb == "push-open") {
            auto file = argument();
            if (!file) return usage();
            std::string action = pf::kNotificationDefaultActionIdentifier;
            if (i + 1 < words.size() && words[i + 1] == "--action") {
                if (i + 2 >= words.size()) return usage();
                action = words[i + 2];
                i += 2;
            }
            std::shared_ptr<pf::UserNotification> notification;
            if (*file == "last") {
                notification = lastPush;
            } else {
                auto payload = qm::examples::readPayload(*file, std::cout);
                if (!payload) continue;
                // The notification last received with this payload, else one delivered now.
                notification = lastPush && lastPush->request()->content()->userInfo == *payload
                                   ? lastPush
                                   : pf::UserNotificationCenter::current().receive(qm::examples::contentOf(*payload),
                                                                                 pf::ApplicationState::Background);
            }
            if (!notification) {
                std::cout << "push: the notification was not shown" << std::endl;
                continue;
            }
            auto response = std::make_shared<pf::UserNotificationResponse>(notification, action);
            qm::quelmar::didReceiveNotificationResponse(response);
            std::cout << "opened push: " << action << std::endl;
            reportTopScreen = true;
        } else if (verb == "badge") {
            auto value = argument();
            if (!value) return usage();
            qm::quelmar::updatePushBadgeNumberWithValue(std::strtol(value->c_str(), nullptr, 10));
        } else if (verb == "notifications") {
            qm::examples::settle(settleSeconds);
            for (const auto& delivered : pf::UserNotificationCenter::current().deliveredNotifications()) {
                const auto& content = delivered->request()->content();
                std::cout << "delivered: " << delivered->request()->identifier() << " \"" << content->title << "\" category "
                          << content->categoryIdentifier << std::endl;
            }
            std::cout << "badge: " << pf::Application::shared().applicationIconBadgeNumber() << std::endl;
        } else if (verb == "push-token") {
            auto hex = argument();
            auto bytes = hex ? hexBytes(*hex) : std::nullopt;
            if (!bytes) return usage();
            qm::quelmar::DidRegisteredNotification(nullptr, Value(*bytes));
        } else if (verb == "push-prefs") {
            auto list = argument();
            if (!list) return usage();
            const bool unsubscribeAll = i + 1 < words.size() && words[i + 1] == "--unsubscribe-all";
            if (unsubscribeAll) ++i;
            Value categories = Value::array();
            for (std::size_t at = 0; at < list->size();) {
                const std::size_t comma = std::min(list->find(',', at), list->size());
                if (comma > at) categories.append(Value(list->substr(at, comma - at)));
                at = comma + 1;
            }
            qm::quelmar::pushPreferences(categories, unsubscribeAll);
        } else if (verb == "schedule") {
            std::vector<Value> fields;  // id, tag, seconds, title, message, URL, icon
            while (fields.size() < 7) {
                auto word = argument();
                if (!word) return usage();
                fields.emplace_back(*word);
            }
            qm::quelmar::schedulePushNotificationwithNotificationID(fields[0], fields[1], fields[2], fields[3], fields[4],
                                                                  fields[5], fields[6]);
        } else if (verb == "geofence-block") {
            auto date = argument();
            auto hours = argument();
            if (!date || !hours || hours->empty()) return usage();
            char* rest = nullptr;
            errno = 0;
            const long count = std::strtol(hours->c_str(), &rest, 10);
            if (*rest != '\0' || errno == ERANGE) {
                std::fprintf(stderr, "qm-host: geofence-block: HOURS must be a whole number, not %s\n", hours->c_str());
                return usage();
            }
            qm::quelmar::stopGeofencePushforDateTime(Value(*date), count);
            printGeofenceBlock();
        } else if (verb == "uid") {
            bool answered = false;
            qm::quelmar::getQmUid([&answered](const Value& uid) {
                std::cout << "uid: " << uid.description() << std::endl;
                answered = true;
            });
            pf::RunLoop::main().runUntil([&] { return answered; }, 30);
        } else if (verb == "background") {
            qm::quelmar::applicationDidEnterBackground(nullptr);
        } else if (verb == "foreground") {
            qm::quelmar::applicationWillEnterForeground(nullptr);
        } else if (verb == "wait") {
            auto seconds = argument();
            if (!seconds) return usage();
            pf::RunLoop::main().runFor(std::strtod(seconds->c_str(), nullptr));
        } else if (verb == "prefs") {
            printPrefs();
        } else if (verb == "cookies") {
            printCookies();
        } else if (verb == "open-url") {
            auto url = argument();
            if (!url) return usage();
            qm::quelmar::OpenUrlWithApplication(nullptr, Value(*url));
            qm::examples::settle(settleSeconds);
            screens.report(openedBefore);
            continue;
        } else if (verb == "screen") {
            auto name = argument();
            if (!name) return usage();
            screens.push(*name);
            std::cout << "screen: " << *name << std::endl;
        } else if (verb == "show") {
            Value tokens = Value::dictionary(), rules = Value::dictionary();
            std::string sheet;
            while (isOption(i + 1)) {
                const std::string option = words[++i];
                auto value = argument();
                if (!value) return usage();
                if (option == "--token") addPair(tokens, *value);
                else if (option == "--rule") addPair(rules, *value);
                else if (option == "--sheet") sheet = *value;
                else return usage();
            }
            qm::quelmar::Show(tokens, rules);
            if (!sheet.empty()) {
                const bool drawn = qmhost::writeEntranceSheet(*screens.window, sheet, 8, 1.4);
                std::cout << (drawn ? "entrance sheet: " + sheet : std::string("entrance sheet: no entrance started")) << std::endl;
            }
            qm::examples::settle(settleSeconds);
            // A campaign may wait for its delay; then its page loads and it enters.
            auto& loop = pf::RunLoop::main();
            if (loop.runUntil([&] { return qmhost::campaignView(*screens.window) != nullptr; }, 5)) {
                qmhost::waitUntilEntered(*screens.window, 20);
            }
            std::cout << "shown: " << qmhost::describeCampaign(*screens.window) << std::endl;
        } else if (verb == "scroll") {
            auto percent = argument();
            if (!percent) return usage();
            if (!screens.scroll(std::strtod(percent->c_str(), nullptr))) {
                std::cout << "scroll: the top screen has no scroll view" << std::endl;
            } else {
                qm::examples::settle(settleSeconds);
                auto& loop = pf::RunLoop::main();
                if (loop.runUntil([&] { return qmhost::campaignView(*screens.window) != nullptr; }, 1)) {
                    qmhost::waitUntilEntered(*screens.window, 20);
                }
                std::cout << "scrolled: " << *percent << "%, shown: " << qmhost::describeCampaign(*screens.window)
                          << std::endl;
            }
        } else if (verb == "clock") {
            auto seconds = argument();
            if (!seconds) return usage();
            const double step = std::strtod(seconds->c_str(), nullptr);
            if (!(step >= 0) || step > 10 * 365 * 86400.0) return usage();
            auto current = std::dynamic_pointer_cast<ShiftedClock>(pf::Clock::current());
            pf::Clock::setCurrent(std::make_shared<ShiftedClock>((current ? current->shift() : 0) + step));
            std::cout << "clock: " << pf::DateFormatter("yyyy-MM-dd HH:mm:ss").string(pf::Clock::currentDate())
                      << std::endl;
        } else if (verb == "page-click") {
            auto selector = argument();
            if (!selector) return usage();
            // The selector as a script string literal.
            const auto quoted = pf::json::write(Value(*selector), {pf::json::WriteStyle::Compact, true});
            const std::string script = "(function(){var e=document.querySelector(" + quoted.value_or("\"\"") +
                                       ");if(!e)return false;e.click();return true;})()";
            if (auto found = qmhost::runInCampaignPage(*screens.window, script)) {
                std::cout << (found->boolValue() ? "clicked: " : "page: nothing matches ") << *selector << std::endl;
                reportTopScreen = true;
            }
        } else if (verb == "page-message") {
            auto name = argument();
            auto body = argument();
            if (!name || !body) return usage();
            const pf::json::WriteOptions literal{pf::json::WriteStyle::Compact, true};
            const std::string script = "window.webkit.messageHandlers[" + pf::json::write(Value(*name), literal).value_or("\"\"") +
                                       "].postMessage(" + pf::json::write(Value(*body), literal).value_or("\"\"") +
                                       ");true";
            if (qmhost::runInCampaignPage(*screens.window, script)) std::cout << "posted: " << *name << std::endl;
            reportTopScreen = true;
        } else if (verb == "dismiss-all") {
            qm::quelmar::DismissAllQuelmarInAppNotifications();
        } else if (verb == "stop") {
            qm::quelmar::StopInAppNotifications();
        } else if (verb == "views") {
            qmhost::printViews(*screens.window);
        } else if (verb == "tap") {
            auto what = argument();
            if (!what) return usage();
            if (qmhost::tapTarget(*screens.window, *what)) {
                std::cout << "tapped: " << *what << std::endl;
                reportTopScreen = true;
            }
        } else if (verb == "snapshot") {
            auto file = argument();
            if (!file) return usage();
            std::cout << (qmhost::writeSnapshot(*screens.window, *file) ? "snapshot: " + *file : "snapshot: failed") << std::endl;
        } else if (verb == "requests") {
#ifdef QM_HOST_WITH_SERVICE
            if (embedded) {
                for (const auto& r : embedded->requests()) {
                    std::cout << r.method << " https://" << r.host << r.path << std::endl;
                    // The body's fields in the order they were sent, then the query's.
                    std::set<std::string> printed;
                    const auto print = [&](const std::string& name) {
                        if (!r.fields.contains(name) || !printed.insert(name).second) return;
                        std::cout << "    " << name << " = " << r.fields[name].description() << std::endl;
                    };
                    for (std::size_t at = 0; at < r.body.size();) {
                        const std::size_t next = std::min(r.body.find('&', at), r.body.size());
                        const std::string piece = r.body.substr(at, next - at);
                        print(piece.substr(0, piece.find('=')));
                        at = next + 1;
                    }
                    for (const auto& [k, v] : r.fields.dictionaryItems()) print(k);
                }
            }
#endif
        } else {
            std::fprintf(stderr, "qm-host: unknown verb %s\n", verb.c_str());
            return usage();
        }
        qm::examples::settle(settleSeconds);
        // Pages, calls and other apps the verb opened (a campaign's button or its page).
        const auto opened = pf::Application::shared().openedURLs();
        for (std::size_t k = openedBefore; k < opened.size(); ++k) std::cout << "opened: " << opened[k] << std::endl;
        if (reportTopScreen) std::cout << "top screen: " << screens.topScreen() << std::endl;
    }
    // What is still in flight gets until the stop deadline; background requests and calls
    // waiting for the account settings are kept for the next launch.
    const bool finished = qm::quelmar::stop(stopSeconds);
    std::cout << (finished ? "stopped" : "stopped at the deadline") << std::endl;
#ifdef QM_HOST_WITH_SERVICE
    if (embedded) embedded->stop();
#endif
    return 0;
}
