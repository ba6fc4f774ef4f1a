// The helper-process engine with the real helper: pages load, post messages, evaluate, hold
// navigations and snapshot; deadlines, a lost helper, the restart limit, and no process left
// behind by the engine or by a host that is killed. Skipped, with the reason, where the
// helper or its display server cannot start. The main run loop is pumped with bounded
// real-time waits.
#include <arpa/inet.h>
#include <cairo.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <thread>

#include "helper_process.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/system_log.hpp"
#include "qmweb/helper_engine.hpp"

using namespace qm;
using namespace qm::platform;
using SteadyClock = std::chrono::steady_clock;

namespace {

bool pump(const std::function<bool()>& done, double seconds = 30) { return RunLoop::main().runUntil(done, seconds); }

struct Recorder : WebPageClient {
    struct Load {
        WebLoadState state;
        std::string url;
        std::int64_t load;
    };
    std::vector<Load> loads;
    std::vector<std::string> failures;
    std::vector<WebNavigationAction> navigations;
    std::vector<std::pair<std::string, Value>> messages;
    std::vector<std::pair<std::string, bool>> crashes;

    void webLoadStateChanged(WebLoadState state, const std::string& url, std::int64_t load) override {
        loads.push_back({state, url, load});
    }
    void webLoadFailed(const std::string& url, const std::string& message, std::int64_t) override {
        failures.push_back(url + ": " + message);
    }
    void webNavigationRequested(const WebNavigationAction& action) override { navigations.push_back(action); }
    void webScriptMessage(const std::string& name, const Value& body) override { messages.emplace_back(name, body); }
    void webPageCrashed(const std::string& message, bool engineLost) override { crashes.emplace_back(message, engineLost); }

    bool finished(std::int64_t load) const {
        for (const auto& l : loads)
            if (l.state == WebLoadState::Finished && l.load == load) return true;
        return false;
    }
    bool saw(WebLoadState state, std::int64_t load) const {
        for (const auto& l : loads)
            if (l.state == state && l.load == load) return true;
        return false;
    }
};

struct Evaluated {
    bool done = false;
    Value value;
    std::optional<WebError> error;
};

std::shared_ptr<Evaluated> evaluate(WebPage& page, const std::string& script, double timeout = 10) {
    auto out = std::make_shared<Evaluated>();
    page.evaluate(script, timeout, [out](const Value& v, const std::optional<WebError>& e) {
        EXPECT_FALSE(out->done) << "completion ran twice";
        out->done = true;
        out->value = v;
        out->error = e;
    });
    return out;
}

std::shared_ptr<Evaluated> evaluated(WebPage& page, const std::string& script, double timeout = 10) {
    auto out = evaluate(page, script, timeout);
    pump([&] { return out->done; }, timeout + 20);
    return out;
}

HelperEngineOptions optionsForTests() {
    HelperEngineOptions options;
    options.helperPath = qm::webkit::testing::HelperProcess::program();
    return options;
}

WebPageOptions pageOptions(double width = 320, double height = 240) {
    WebPageOptions o;
    o.size = {width, height};
    o.handlers = {"qm"};
    return o;
}

// A page whose engine answers, or the reason there is none.
std::string startPage(WebPage& page, Recorder& client) {
    auto first = evaluated(page, "1+1", 30);
    if (!first->done) return "the engine did not answer";
    if (first->error) {
        pump([&] { return !client.crashes.empty(); }, 5);
        return first->error->message + (client.crashes.empty() ? "" : " (" + client.crashes.front().first + ")");
    }
    return {};
}

#define START_OR_SKIP(page, client)                                                           \
    do {                                                                                      \
        if (qm::webkit::testing::HelperProcess::program().empty()) GTEST_SKIP() << "no qm-webkit in this build"; \
        const std::string why_ = startPage(*(page), (client));                                \
        if (!why_.empty()) GTEST_SKIP() << "the web engine cannot run here: " << why_;        \
    } while (0)

// Whether the process is gone (or a zombie nobody reaped yet), waiting for it at most `seconds`.
bool processEnds(long pid, double seconds) {
    auto gone = [pid] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!stat || !std::getline(stat, line)) return true;
        const auto close = line.rfind(')');
        return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
    };
    if (gone()) return true;
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (fd < 0) return gone();
    // Readable once the process has ended.
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, static_cast<int>(seconds * 1000));
    close(fd);
    return gone();
}

// A loopback HTTP server that answers every request with a small page and keeps each
// request's head.
class PageServer {
public:
    PageServer() {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listen_, 8);
        thread_ = std::thread([this] { serve(); });
    }
    ~PageServer() {
        ::shutdown(listen_, SHUT_RDWR);
        thread_.join();
        close(listen_);
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::vector<std::string> heads() {
        std::lock_guard lock(mu_);
        return heads_;
    }

private:
    void serve() {
        for (;;) {
            const int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            std::string head;
            char buffer[4096];
            while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
                pollfd p{c, POLLIN, 0};
                if (poll(&p, 1, 10000) <= 0) break;
                const ssize_t n = read(c, buffer, sizeof buffer);
                if (n <= 0) break;
                head.append(buffer, static_cast<std::size_t>(n));
            }
            {
                std::lock_guard lock(mu_);
                heads_.push_back(head);
            }
            const std::string body = "<html><body><p>served</p></body></html>";
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: " +
                                      std::to_string(body.size()) + "\r\n\r\n" + body;
            [[maybe_unused]] const ssize_t w = write(c, reply.data(), reply.size());
            close(c);
        }
    }

    int listen_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mu_;
    std::vector<std::string> heads_;
};

// The private folders a helper with this pid left in the temporary folder.
int foldersOf(long pid) {
    const char* tmp = std::getenv("TMPDIR");
    DIR* dir = opendir(tmp && *tmp ? tmp : "/tmp");
    if (!dir) return 0;
    const std::string prefix = "qm-webkit-" + std::to_string(pid) + "-";
    int count = 0;
    while (dirent* entry = readdir(dir)) count += std::string(entry->d_name).rfind(prefix, 0) == 0;
    closedir(dir);
    return count;
}

bool hasLine(const std::string& head, const std::string& line) {
    return head.find("\r\n" + line + "\r\n") != std::string::npos;
}

}  // namespace

TEST(HelperEngine, LoadsHTMLPostsMessagesAndEvaluatesScripts) {
    auto engine = HelperEngine::create(optionsForTests());
    auto client = std::make_shared<Recorder>();
    auto options = pageOptions();
    options.applicationName = "QuelmarTest/1.2";
    auto page = engine->createPage(options, client);
    START_OR_SKIP(page, *client);

    bool loaded = false;
    const std::int64_t load = page->loadHTML(
        "<html><body><p id=p>hello</p><script>"
        "window.webkit.messageHandlers.qm.postMessage({ready: true, items: [1, 'two']});"
        "</script></body></html>",
        "https://example.test/", [&](const std::optional<WebError>& e) {
            EXPECT_FALSE(e) << e->message;
            loaded = true;
        });
    EXPECT_FALSE(loaded) << "a completion ran inside the call";
    ASSERT_TRUE(pump([&] { return client->finished(load); }));
    EXPECT_TRUE(loaded);
    EXPECT_TRUE(client->saw(WebLoadState::Committed, load));
    ASSERT_EQ(client->messages.size(), 1u);
    EXPECT_EQ(client->messages[0].first, "qm");
    EXPECT_EQ(client->messages[0].second["ready"], Value(true));
    EXPECT_EQ(client->messages[0].second["items"][1], Value("two"));

    auto sum = evaluated(*page, "document.getElementById('p').textContent.length + 2");
    EXPECT_FALSE(sum->error);
    EXPECT_EQ(sum->value.integerValue(), 7);
    auto object = evaluated(*page, "({a: [1, 'x'], b: null})");
    EXPECT_EQ(object->value["a"][1], Value("x"));
    auto thrown = evaluated(*page, "throw new Error('boom')");
    ASSERT_TRUE(thrown->error);
    EXPECT_EQ(thrown->error->kind, WebError::Kind::Exception);
    EXPECT_NE(thrown->error->message.find("boom"), std::string::npos);

    // The engine's own agent, ending in the application's name when the page sets none.
    std::optional<std::string> agent;
    bool answered = false;
    engine->defaultUserAgent([&](const std::optional<std::string>& a) {
        agent = a;
        answered = true;
    });
    ASSERT_TRUE(pump([&] { return answered; }));
    ASSERT_TRUE(agent);
    EXPECT_NE(agent->find("Mozilla/5.0"), std::string::npos);
    auto pageAgent = evaluated(*page, "navigator.userAgent");
    EXPECT_NE(pageAgent->value.string().find("QuelmarTest/1.2"), std::string::npos) << pageAgent->value.string();
}

TEST(HelperEngine, HoldsNavigationsUntilDecidedSendsHeadersAndTakesSnapshots) {
    PageServer server;
    auto engine = HelperEngine::create(optionsForTests());
    auto client = std::make_shared<Recorder>();
    auto page = engine->createPage(pageOptions(200, 100), client);
    START_OR_SKIP(page, *client);

    // Headers given to a load reach the server, the agent included.
    const std::int64_t first = page->loadURL(server.url("/first"), {{"User-Agent", "QMTest/9"}, {"X-QM", "yes"}}, nullptr);
    ASSERT_TRUE(pump([&] { return client->finished(first) || !client->failures.empty(); }));
    ASSERT_TRUE(client->failures.empty()) << client->failures.front();
    ASSERT_EQ(server.heads().size(), 1u);
    EXPECT_TRUE(hasLine(server.heads()[0], "User-Agent: QMTest/9")) << server.heads()[0];
    EXPECT_TRUE(hasLine(server.heads()[0], "X-QM: yes")) << server.heads()[0];

    const std::int64_t load = page->loadHTML(
        "<html><body style='margin:0;background:#00f'><a href='" + server.url("/next") + "'>next</a></body></html>",
        server.url("/"), nullptr);
    ASSERT_TRUE(pump([&] { return client->finished(load); }));

    // Denied: the page stays.
    evaluated(*page, "document.querySelector('a').click()");
    ASSERT_TRUE(pump([&] { return client->navigations.size() == 1; }));
    EXPECT_EQ(client->navigations[0].url, server.url("/next"));
    EXPECT_EQ(client->navigations[0].type, WebNavigationType::LinkActivated);
    EXPECT_FALSE(client->navigations[0].newWindow);
    page->decideNavigation(client->navigations[0].id, false);
    EXPECT_EQ(evaluated(*page, "location.pathname")->value, Value("/"));
    EXPECT_EQ(server.heads().size(), 1u);

    // Allowed: it loads, its events carry the navigation's id.
    evaluated(*page, "document.querySelector('a').click()");
    ASSERT_TRUE(pump([&] { return client->navigations.size() == 2; }));
    const std::int64_t navigation = client->navigations[1].id;
    EXPECT_NE(navigation, client->navigations[0].id);
    page->decideNavigation(navigation, true);
    ASSERT_TRUE(pump([&] { return client->finished(navigation); }));
    EXPECT_EQ(evaluated(*page, "location.pathname")->value, Value("/next"));
    EXPECT_NE(navigation, load) << "load ids and navigation ids must not meet";

    // A snapshot is a PNG of the page's size.
    std::string png;
    std::optional<WebError> error;
    bool shot = false;
    page->snapshot([&](const std::string& bytes, const std::optional<WebError>& e) {
        png = bytes;
        error = e;
        shot = true;
    });
    ASSERT_TRUE(pump([&] { return shot; }));
    ASSERT_FALSE(error) << error->message;
    struct Reader {
        const std::string* bytes;
        std::size_t at = 0;
    } reader{&png};
    cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(
        [](void* closure, unsigned char* data, unsigned int length) {
            auto* r = static_cast<Reader*>(closure);
            if (r->at + length > r->bytes->size()) return CAIRO_STATUS_READ_ERROR;
            std::memcpy(data, r->bytes->data() + r->at, length);
            r->at += length;
            return CAIRO_STATUS_SUCCESS;
        },
        &reader);
    ASSERT_EQ(cairo_surface_status(surface), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(surface), 200);
    EXPECT_EQ(cairo_image_surface_get_height(surface), 100);
    cairo_surface_destroy(surface);
}

TEST(HelperEngine, RequestsPastTheirDeadlineFailWithTimeoutAndLateAnswersAreDropped) {
    auto options = optionsForTests();
    options.requestTimeoutSeconds = 0.5;
    auto engine = HelperEngine::create(options);
    auto client = std::make_shared<Recorder>();
    auto page = engine->createPage(pageOptions(), client);
    START_OR_SKIP(page, *client);
    const long pid = *engine->helperPid();

    // A helper that stops (without dying) answers nothing.
    ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGSTOP), 0);
    std::optional<WebError> resized;
    int calls = 0;
    const auto start = SteadyClock::now();
    page->resize({100, 100}, 1, [&](const std::optional<WebError>& e) {
        resized = e;
        ++calls;
    });
    auto slow = evaluate(*page, "1", 0.1);
    ASSERT_TRUE(pump([&] { return calls == 1 && slow->done; }, 10));
    const double waited = std::chrono::duration<double>(SteadyClock::now() - start).count();
    kill(static_cast<pid_t>(pid), SIGCONT);
    ASSERT_TRUE(resized);
    EXPECT_EQ(resized->kind, WebError::Kind::Timeout);
    ASSERT_TRUE(slow->error);
    EXPECT_EQ(slow->error->kind, WebError::Kind::Timeout);
    EXPECT_LT(waited, 5.0);

    // The late answers find nobody waiting; the page goes on.
    auto after = evaluated(*page, "40 + 2");
    EXPECT_FALSE(after->error);
    EXPECT_EQ(after->value.integerValue(), 42);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(*engine->helperPid(), pid);
    EXPECT_TRUE(client->crashes.empty());
}

TEST(HelperEngine, AHelperThatMissesTwoPingsIsLost) {
    auto options = optionsForTests();
    options.pingIntervalSeconds = 0.2;
    auto engine = HelperEngine::create(options);
    auto client = std::make_shared<Recorder>();
    auto page = engine->createPage(pageOptions(), client);
    START_OR_SKIP(page, *client);
    const long pid = *engine->helperPid();
    const long xvfb = *engine->displayServerPid();

    ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGSTOP), 0);
    ASSERT_TRUE(pump([&] { return !client->crashes.empty(); }, 10));
    EXPECT_TRUE(client->crashes[0].second);
    EXPECT_FALSE(engine->helperPid());
    EXPECT_TRUE(processEnds(pid, 5));
    EXPECT_TRUE(processEnds(xvfb, 10)) << "the display server outlived its helper";
}

TEST(HelperEngine, AKilledHelperFailsWhatWaitsAndTheNextPageStartsANewOne) {
    auto engine = HelperEngine::create(optionsForTests());
    auto client = std::make_shared<Recorder>();
    auto page = engine->createPage(pageOptions(), client);
    START_OR_SKIP(page, *client);
    const long pid = *engine->helperPid();
    const long xvfb = *engine->displayServerPid();

    auto busy = evaluate(*page, "const t = Date.now(); while (Date.now() - t < 8000) {} 1", 20);
    // Let the script start running before the helper goes.
    auto marker = evaluate(*page, "2", 20);
    ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGKILL), 0);
    const auto start = SteadyClock::now();
    ASSERT_TRUE(pump([&] { return busy->done && marker->done && !client->crashes.empty(); }, 10));
    EXPECT_LT(std::chrono::duration<double>(SteadyClock::now() - start).count(), 3.0);
    ASSERT_TRUE(busy->error);
    EXPECT_EQ(busy->error->kind, WebError::Kind::EngineLost);
    EXPECT_EQ(busy->error->message, "engine lost");
    EXPECT_EQ(client->crashes.size(), 1u);
    EXPECT_TRUE(client->crashes[0].second);
    EXPECT_TRUE(processEnds(xvfb, 10)) << "the display server outlived its helper";

    // The old page is gone for good.
    auto stale = evaluated(*page, "1");
    ASSERT_TRUE(stale->error);
    EXPECT_EQ(stale->error->kind, WebError::Kind::NoPage);

    // A new page gets a new helper.
    auto client2 = std::make_shared<Recorder>();
    auto page2 = engine->createPage(pageOptions(), client2);
    auto fresh = evaluated(*page2, "6 * 7", 30);
    ASSERT_FALSE(fresh->error) << fresh->error->message;
    EXPECT_EQ(fresh->value.integerValue(), 42);
    ASSERT_TRUE(engine->helperPid());
    EXPECT_NE(*engine->helperPid(), pid);
    EXPECT_EQ(client->crashes.size(), 1u);
    // The killed helper could not remove its private folder; the new one did.
    EXPECT_EQ(foldersOf(pid), 0);
    EXPECT_EQ(foldersOf(*engine->helperPid()), 1);
}

TEST(HelperEngine, RestartsBeyondTheLimitFailAtOnceWithALogLine) {
    std::mutex logMutex;
    std::vector<std::string> logLines;
    SystemLog::setSink([&](std::string_view line) {
        std::lock_guard lock(logMutex);
        logLines.emplace_back(line);
    });
    auto options = optionsForTests();
    options.maxStartsPerMinute = 2;
    auto engine = HelperEngine::create(options);
    for (int round = 0; round < 2; ++round) {
        auto client = std::make_shared<Recorder>();
        auto page = engine->createPage(pageOptions(), client);
        if (round == 0) START_OR_SKIP(page, *client);
        else ASSERT_FALSE(evaluated(*page, "1", 30)->error);
        kill(static_cast<pid_t>(*engine->helperPid()), SIGKILL);
        ASSERT_TRUE(pump([&] { return !client->crashes.empty(); }, 10));
    }
    auto client = std::make_shared<Recorder>();
    auto page = engine->createPage(pageOptions(), client);
    ASSERT_TRUE(page);
    EXPECT_FALSE(engine->helperPid());
    const auto start = SteadyClock::now();
    auto refused = evaluated(*page, "1");
    EXPECT_LT(std::chrono::duration<double>(SteadyClock::now() - start).count(), 1.0);
    ASSERT_TRUE(refused->error);
    EXPECT_EQ(refused->error->kind, WebError::Kind::EngineLost);
    EXPECT_NE(refused->error->message.find("restarted too often"), std::string::npos) << refused->error->message;
    bool loadAnswered = false;
    page->loadHTML("<p>x</p>", {}, [&](const std::optional<WebError>& e) {
        EXPECT_TRUE(e && e->kind == WebError::Kind::EngineLost);
        loadAnswered = true;
    });
    EXPECT_TRUE(pump([&] { return loadAnswered; }, 1));
    SystemLog::setSink(nullptr);
    std::lock_guard lock(logMutex);
    int tooOften = 0;
    for (const auto& line : logLines) tooOften += line.find("restarted too often") != std::string::npos;
    EXPECT_EQ(tooOften, 1);
}

TEST(HelperEngine, LeavesNoProcessBehindWhenDestroyedOrWhenItsHostIsKilled) {
    auto engine = HelperEngine::create(optionsForTests());
    auto client = std::make_shared<Recorder>();
    auto page = engine->createPage(pageOptions(), client);
    START_OR_SKIP(page, *client);
    const long pid = *engine->helperPid();
    const long xvfb = *engine->displayServerPid();
    auto pending = evaluate(*page, "1", 10);
    engine.reset();  // the main run loop is not pumped meanwhile
    EXPECT_TRUE(processEnds(pid, 0)) << "the helper outlived its engine";
    EXPECT_TRUE(processEnds(xvfb, 10)) << "the display server outlived its engine";
    ASSERT_TRUE(pump([&] { return pending->done; }, 5));
    // Answered before the engine went, or failed with it: either way exactly once.
    if (pending->error) {
        EXPECT_EQ(pending->error->kind, WebError::Kind::EngineLost);
    }
    auto orphan = evaluated(*page, "1");
    ASSERT_TRUE(orphan->error);
    EXPECT_EQ(orphan->error->kind, WebError::Kind::NoPage);
    page.reset();

    // A host killed outright: the helper follows it, and takes its display server along.
    int out[2], in[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    const pid_t host = fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        const std::string helper = qm::webkit::testing::HelperProcess::program();
        execl(QM_WEBKIT_ENGINE_HOST, QM_WEBKIT_ENGINE_HOST, helper.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    close(in[0]);
    std::string line;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&p, 1, 60000) > 0 && read(out[0], &c, 1) == 1) line += c;
    long hostHelper = 0, hostXvfb = 0;
    std::sscanf(line.c_str(), "%ld %ld", &hostHelper, &hostXvfb);
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    close(out[0]);
    close(in[1]);
    ASSERT_GT(hostHelper, 0) << "the host's engine did not start: \"" << line << "\"";
    ASSERT_GT(hostXvfb, 0);
    EXPECT_TRUE(processEnds(hostHelper, 10)) << "the helper outlived its killed host";
    EXPECT_TRUE(processEnds(hostXvfb, 10)) << "the display server outlived its killed host";
}
