// The real helper over a socketpair: messages from the page, scripts evaluated, navigations
// held until decided, snapshots with the painted colours, and a clean exit at end of file.
// Skipped, with the reason, where the helper or its display server cannot start.
#include <cairo.h>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "helper_process.hpp"

using namespace qm;
using namespace qm::webkit;
using namespace qm::webkit::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::int64_t kView = 1;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Starts the helper or skips the test with the reason.
#define START_HELPER_OR_SKIP(helper)                                               \
    do {                                                                           \
        std::string why_;                                                          \
        if (!(helper).start({}, &why_) || !(helper).waitReady(Milliseconds(30000), &why_)) \
            GTEST_SKIP() << why_;                                                  \
    } while (0)

Request createView(int width = 390, int height = 844) {
    Request r;
    r.op = Op::CreateView;
    r.view = kView;
    r.width = width;
    r.height = height;
    r.handlers = {"qm"};
    return r;
}

Request loadHTML(std::string html, std::string baseURL = {}) {
    Request r;
    r.op = Op::LoadHTML;
    r.view = kView;
    r.html = std::move(html);
    r.baseURL = std::move(baseURL);
    return r;
}

Request evaluate(std::string script, std::int64_t view = kView) {
    Request r;
    r.op = Op::Evaluate;
    r.view = view;
    r.script = std::move(script);
    return r;
}

// Loads the page and waits for its load to finish; the load id is the request's.
void loadAndWait(HelperProcess& helper, const Request& load) {
    const std::int64_t id = helper.send(load);
    auto answer = helper.waitAnswer(id);
    ASSERT_TRUE(answer && answer->ok);
    auto finished = helper.waitEvent([&](const Event& e) {
        return (e.kind == EventKind::LoadState && e.state == LoadState::Finished && e.load == id) ||
               e.kind == EventKind::LoadFailed;
    });
    ASSERT_TRUE(finished);
    ASSERT_EQ(finished->kind, EventKind::LoadState) << finished->message;
}

// A loopback port nobody listens on while the object lives: connections to it are refused.
class ClosedPort {
public:
    ClosedPort() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~ClosedPort() {
        if (fd_ >= 0) close(fd_);
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

private:
    int fd_ = -1;
    int port_ = 0;
};

bool processGone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

}  // namespace

TEST(WebKitHelper, PostsMessagesEvaluatesScriptsAndExitsCleanlyAtEndOfFile) {
    HelperProcess helper;
    const auto started = Clock::now();
    START_HELPER_OR_SKIP(helper);
    const double coldStart = millisecondsSince(started);
    const Event ready = helper.ready();
    EXPECT_EQ(ready.pid, helper.pid());
    EXPECT_GT(ready.xvfbPid, 0);
    EXPECT_EQ(ready.display.front(), ':');
    // The display server's socket, told apart by its inode from one a display server started
    // later (by a test running alongside) makes under the same free number.
    const std::string socketPath = "/tmp/.X11-unix/X" + ready.display.substr(1);
    struct stat displaySocket {};
    ASSERT_EQ(stat(socketPath.c_str(), &displaySocket), 0) << socketPath;

    Request hello;
    hello.op = Op::Hello;
    auto greeting = helper.call(hello);
    ASSERT_TRUE(greeting);
    EXPECT_TRUE(greeting->ok);
    EXPECT_EQ(greeting->fields["version"].intValue(), kProtocolVersion);
    // The engine's own agent, known before any view exists.
    EXPECT_NE(greeting->fields["userAgent"].string().find("Mozilla/5.0"), std::string::npos);

    auto created = helper.call(createView());
    ASSERT_TRUE(created && created->ok);
    auto again = helper.call(createView());
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->ok) << "a view id is used once";

    // The page's message comes with its body as a value; every load event names the load.
    const std::int64_t load = helper.send(loadHTML(
        "<html><body><p>hello</p><script>window.webkit.messageHandlers.qm.postMessage({\"a\":1});</script></body></html>"));
    auto message = helper.waitEvent([](const Event& e) { return e.kind == EventKind::ScriptMessage; });
    ASSERT_TRUE(message);
    EXPECT_EQ(message->view, kView);
    EXPECT_EQ(message->name, "qm");
    EXPECT_EQ(message->body, (Value{{"a", 1}}));
    auto finished = helper.waitEvent([](const Event& e) {
        return e.kind == EventKind::LoadState && e.state == LoadState::Finished;
    });
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->load, load);
    EXPECT_EQ(finished->url, "about:blank");

    // A 5 KB page.
    std::string big = "<html><body>";
    while (big.size() < 5000) big += "<p>Lorem ipsum dolor sit amet, consectetur adipiscing elit.</p>";
    big += "</body></html>";
    const auto bigStart = Clock::now();
    loadAndWait(helper, loadHTML(big));
    const double bigLoad = millisecondsSince(bigStart);

    auto height = helper.call(evaluate("document.body.scrollHeight"));
    // Warm round trips, averaged.
    const auto evalStart = Clock::now();
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(helper.call(evaluate("1 + 1"))->ok);
    const double evalRoundTrip = millisecondsSince(evalStart) / 20;
    ASSERT_TRUE(height);
    ASSERT_TRUE(height->ok) << height->message;
    EXPECT_TRUE(height->fields["value"].isNumber());
    EXPECT_GT(height->fields["value"].doubleValue(), 844) << "5 KB of paragraphs is taller than the view";

    auto structured = helper.call(evaluate("({list: [1, 'two', null], flag: true})"));
    ASSERT_TRUE(structured && structured->ok);
    EXPECT_EQ(structured->fields["value"],
              (Value{{"list", Value::array({1, "two", Value::null()})}, {"flag", true}}));
    auto nothing = helper.call(evaluate("undefined"));
    ASSERT_TRUE(nothing && nothing->ok);
    EXPECT_TRUE(nothing->fields["value"].isNull());

    auto thrown = helper.call(evaluate("throw new Error('kaboom')"));
    ASSERT_TRUE(thrown);
    EXPECT_FALSE(thrown->ok);
    EXPECT_EQ(thrown->kind, ErrorKind::Exception);
    EXPECT_NE(thrown->message.find("kaboom"), std::string::npos) << thrown->message;

    auto noView = helper.call(evaluate("1", 99));
    ASSERT_TRUE(noView);
    EXPECT_EQ(noView->kind, ErrorKind::NoView);

    // A bad line is answered, with its id when it has one, and the helper carries on.
    helper.sendRaw("{\"id\":500,\"op\":\"evaluate\",\"view\":1}\n");
    auto bad = helper.waitAnswer(500);
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->kind, ErrorKind::BadRequest);
    helper.sendRaw("this is not json\n");
    auto garbage = helper.waitAnswer(0);
    ASSERT_TRUE(garbage);
    EXPECT_EQ(garbage->kind, ErrorKind::BadRequest);
    Request ping;
    ping.op = Op::Ping;
    auto pong = helper.call(ping);
    ASSERT_TRUE(pong && pong->ok);

    // End of file: the helper exits 0 and takes its display server with it.
    helper.closeInput();
    auto status = helper.waitExit(Milliseconds(20000));
    ASSERT_TRUE(status) << "the helper did not exit";
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(processGone(static_cast<pid_t>(ready.xvfbPid))) << "Xvfb outlived the helper";
    struct stat st {};
    EXPECT_FALSE(stat(socketPath.c_str(), &st) == 0 && st.st_ino == displaySocket.st_ino)
        << socketPath << " is still there";
    EXPECT_TRUE(helper.badLines().empty()) << helper.badLines().front();

    std::printf("[ measure ] cold start to ready %.0f ms, 5 KB HTML load %.1f ms, evaluate round trip %.2f ms\n",
                coldStart, bigLoad, evalRoundTrip);
}

TEST(WebKitHelper, PageNavigationsWaitForTheDecision) {
    HelperProcess helper;
    START_HELPER_OR_SKIP(helper);
    ASSERT_TRUE(helper.call(createView())->ok);
    loadAndWait(helper, loadHTML("<html><body>first</body></html>", "http://127.0.0.1/"));
    const ClosedPort closed;

    // Denied: reported once, and nothing loads.
    ASSERT_TRUE(helper.call(evaluate("location.href = '" + closed.url("/denied") + "'; 0"))->ok);
    auto asked = helper.waitEvent([](const Event& e) { return e.kind == EventKind::NavigationRequested; });
    ASSERT_TRUE(asked);
    EXPECT_EQ(asked->url, closed.url("/denied"));
    EXPECT_FALSE(asked->newWindow);
    EXPECT_EQ(asked->navigationType, NavigationType::Other) << "a script's navigation is no link";
    Request deny;
    deny.op = Op::DecideNavigation;
    deny.view = kView;
    deny.navigation = asked->navigation;
    deny.allow = false;
    ASSERT_TRUE(helper.call(deny)->ok);
    auto still = helper.call(evaluate("document.body.textContent"));
    ASSERT_TRUE(still && still->ok);
    EXPECT_EQ(still->fields["value"], Value("first"));
    auto twice = helper.call(deny);
    ASSERT_TRUE(twice);
    EXPECT_FALSE(twice->ok) << "a decided navigation cannot be decided again";
    for (const Event& e : helper.events()) EXPECT_NE(e.kind, EventKind::LoadState) << "a denied navigation loaded";

    // Allowed: the load goes ahead under the navigation's id; a refused connection is a
    // failure the library hears of (and no error page loads in its place).
    ASSERT_TRUE(helper.call(evaluate("location.href = '" + closed.url("/allowed") + "'; 0"))->ok);
    auto second = helper.waitEvent([](const Event& e) { return e.kind == EventKind::NavigationRequested; });
    ASSERT_TRUE(second);
    EXPECT_NE(second->navigation, asked->navigation);
    Request allow = deny;
    allow.navigation = second->navigation;
    allow.allow = true;
    ASSERT_TRUE(helper.call(allow)->ok);
    auto started = helper.waitEvent([](const Event& e) {
        return e.kind == EventKind::LoadState && e.state == LoadState::Started;
    });
    ASSERT_TRUE(started);
    EXPECT_EQ(started->load, second->navigation);
    auto failed = helper.waitEvent([](const Event& e) { return e.kind == EventKind::LoadFailed; });
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->url, closed.url("/allowed"));
    EXPECT_EQ(failed->load, second->navigation);
    EXPECT_FALSE(failed->message.empty());

    // A page asking for a new window is asked about too, and gets no window by itself.
    ASSERT_TRUE(helper.call(evaluate("window.open('" + closed.url("/popup") + "'); 0"))->ok);
    auto popup = helper.waitEvent([](const Event& e) { return e.kind == EventKind::NavigationRequested; });
    ASSERT_TRUE(popup);
    EXPECT_TRUE(popup->newWindow);
    EXPECT_EQ(popup->url, closed.url("/popup"));
}

TEST(WebKitHelper, SnapshotsShowThePaintedColours) {
    HelperProcess helper;
    START_HELPER_OR_SKIP(helper);
    ASSERT_TRUE(helper.call(createView())->ok);
    loadAndWait(helper,
                loadHTML("<html><body style='margin:0;background:#0000ff'>"
                         "<div style='position:absolute;left:0;top:0;width:100px;height:100px;background:#ff0000'>"
                         "</div></body></html>"));
    Request snap;
    snap.op = Op::Snapshot;
    snap.view = kView;
    const auto start = Clock::now();
    auto shot = helper.call(snap);
    const double snapshotTime = millisecondsSince(start);
    ASSERT_TRUE(shot);
    ASSERT_TRUE(shot->ok) << shot->message;
    EXPECT_EQ(shot->fields["width"].intValue(), 390);
    EXPECT_EQ(shot->fields["height"].intValue(), 844);
    auto png = base64Decode(shot->fields["png"].string());
    ASSERT_TRUE(png);

    struct Reader {
        const std::string* bytes;
        std::size_t at = 0;
    } reader{&*png};
    cairo_surface_t* image = cairo_image_surface_create_from_png_stream(
        [](void* closure, unsigned char* data, unsigned int length) {
            auto* r = static_cast<Reader*>(closure);
            if (r->bytes->size() - r->at < length) return CAIRO_STATUS_READ_ERROR;
            std::copy_n(r->bytes->data() + r->at, length, data);
            r->at += length;
            return CAIRO_STATUS_SUCCESS;
        },
        &reader);
    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
    ASSERT_EQ(cairo_image_surface_get_width(image), 390);
    ASSERT_EQ(cairo_image_surface_get_height(image), 844);
    cairo_surface_flush(image);
    const unsigned char* pixels = cairo_image_surface_get_data(image);
    const int stride = cairo_image_surface_get_stride(image);
    auto rgb = [&](int x, int y) {
        std::uint32_t p;
        std::copy_n(pixels + y * stride + x * 4, 4, reinterpret_cast<unsigned char*>(&p));
        return p & 0xFFFFFFu;  // native-endian ARGB32, alpha dropped
    };
    EXPECT_EQ(rgb(50, 50), 0xFF0000u) << "the red square";
    EXPECT_EQ(rgb(5, 95), 0xFF0000u);
    EXPECT_EQ(rgb(150, 50), 0x0000FFu) << "the blue body beside it";
    EXPECT_EQ(rgb(300, 800), 0x0000FFu);
    cairo_surface_destroy(image);

    // To a file instead.
    char folder[] = "/tmp/qm-webkit-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    snap.path = std::string(folder) + "/shot.png";
    auto toFile = helper.call(snap);
    ASSERT_TRUE(toFile && toFile->ok) << (toFile ? toFile->message : "");
    EXPECT_FALSE(toFile->fields.contains("png"));
    cairo_surface_t* fromFile = cairo_image_surface_create_from_png(snap.path.c_str());
    EXPECT_EQ(cairo_surface_status(fromFile), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(fromFile), 390);
    cairo_surface_destroy(fromFile);
    unlink(snap.path.c_str());
    rmdir(folder);

    // Destroyed views are gone for every request.
    Request destroy;
    destroy.op = Op::DestroyView;
    destroy.view = kView;
    ASSERT_TRUE(helper.call(destroy)->ok);
    auto after = helper.call(snap);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->kind, ErrorKind::NoView);

    std::printf("[ measure ] 390x844 PNG snapshot %.1f ms (%zu bytes)\n", snapshotTime, png->size());
}

TEST(WebKitHelper, ReportsWhyItCannotStartWithoutADisplayServer) {
    HelperProcess helper;
    std::string why;
    if (!helper.start({"--xvfb", "/nonexistent/Xvfb"}, &why)) GTEST_SKIP() << why;
    EXPECT_FALSE(helper.waitReady(Milliseconds(30000), &why));
    EXPECT_NE(why.find("display server"), std::string::npos) << why;
    auto status = helper.waitExit(Milliseconds(20000));
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 1);
}
