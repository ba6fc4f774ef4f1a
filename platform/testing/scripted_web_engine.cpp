#include "scripted_web_engine.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <mutex>

#include "qmplatform/dispatch.hpp"

namespace qm::testkit {

using platform::Queue;
using platform::WebError;
using platform::WebPageClient;

// ---- TextMatch

TextMatch TextMatch::any() { return TextMatch(); }

TextMatch TextMatch::contains(std::string text) {
    TextMatch m;
    m.text_ = std::move(text);
    return m;
}

TextMatch TextMatch::regex(const std::string& pattern) {
    TextMatch m;
    m.regex_ = std::make_shared<const std::regex>(pattern, std::regex::ECMAScript);
    return m;
}

bool TextMatch::matches(const std::string& text) const {
    if (regex_) return std::regex_search(text, *regex_);
    return text.find(text_) != std::string::npos;
}

std::vector<std::string> ScriptedWebEngine::PageRecord::scripts() const {
    std::vector<std::string> out;
    for (const auto& e : evaluations) out.push_back(e.script);
    return out;
}

// ---- State

namespace {

struct LoadRule {
    bool html = false;
    TextMatch match;
    ScriptedLoad load;
};

struct EvaluateRule {
    TextMatch match;
    Value value;
    std::optional<WebError> error;
};

// Blocks for the main queue, collected under the engine's lock and posted after it is let
// go: nothing the tests' completions hold is ever destroyed, and nothing is called, with the
// lock held.
struct Outbox {
    std::vector<std::function<void()>> blocks;
    void add(std::function<void()> block) { blocks.push_back(std::move(block)); }
    ~Outbox() {
        for (auto& block : blocks) Queue::main().async(std::move(block));
    }
};

std::string trimmed(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n;");
    const auto e = s.find_last_not_of(" \t\r\n;");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

WebError noPage() { return WebError{WebError::Kind::NoPage, "the page is gone"}; }

}  // namespace

struct ScriptedWebEngine::PageState {
    PageRecord record;
    std::weak_ptr<WebPageClient> client;
    std::string agent;
    bool alive = true;
    bool lost = false;
    std::map<std::int64_t, platform::WebNavigationAction> waiting;  // navigations not yet decided
    bool usable() const { return alive && !lost; }
    bool hasHandler(const std::string& name) const {
        const auto& names = record.options.handlers;
        return std::find(names.begin(), names.end(), name) != names.end();
    }
};

struct ScriptedWebEngine::State {
    struct Held {
        std::shared_ptr<PageState> page;  // none: an engine-wide request
        std::function<void()> answer;
        std::function<void(const WebError&)> fail;
    };

    mutable std::mutex mutex;
    std::vector<LoadRule> loadRules;
    std::vector<EvaluateRule> evaluateRules;
    std::optional<std::string> agent = std::string(kUserAgent);
    std::optional<std::string> snapshotPNG, snapshotError;
    std::uint32_t snapshotColor = 0xFF2A7AE2;
    bool silent = false;
    std::vector<Held> held;
    std::vector<std::shared_ptr<PageState>> pages;
    std::int64_t nextId = 1;
    int agentRequests = 0;

    // Locked: sends the answer now, holds it while silent, or answers NoPage for a page that
    // is gone.
    void submit(Outbox& out, const std::shared_ptr<PageState>& page, std::function<void()> answer,
                std::function<void(const WebError&)> fail) {
        if (page && !page->usable()) {
            out.add([fail = std::move(fail)] { fail(noPage()); });
        } else if (silent) {
            held.push_back({page, std::move(answer), std::move(fail)});
        } else {
            out.add(std::move(answer));
        }
    }

    // Locked: moves out the held requests `which` selects, failing them with `error`.
    void failHeld(Outbox& out, const std::function<bool(const Held&)>& which, const WebError& error) {
        std::vector<Held> keep;
        for (auto& h : held) {
            if (which(h)) {
                out.add([fail = std::move(h.fail), answer = std::move(h.answer), error] { fail(error); });
            }
            else keep.push_back(std::move(h));
        }
        held = std::move(keep);
    }

    ScriptedLoad loadFor(bool html, const std::string& text) const {
        for (auto it = loadRules.rbegin(); it != loadRules.rend(); ++it) {
            if (it->html == html && it->match.matches(text)) return it->load;
        }
        return {};
    }

    std::shared_ptr<PageState> find(std::optional<std::size_t> index) const {
        if (index) return *index < pages.size() && pages[*index]->usable() ? pages[*index] : nullptr;
        for (auto it = pages.rbegin(); it != pages.rend(); ++it) {
            if ((*it)->usable()) return *it;
        }
        return nullptr;
    }

    // The client of a page still in use, read under the lock (called on the main queue).
    static std::shared_ptr<WebPageClient> clientOf(const std::shared_ptr<State>& s,
                                                   const std::shared_ptr<PageState>& page) {
        std::lock_guard lock(s->mutex);
        return page->usable() ? page->client.lock() : nullptr;
    }

    // Locked: a load's answer: the completion, then the states, the failure or the messages.
    void startLoad(Outbox& out, const std::shared_ptr<State>& self, const std::shared_ptr<PageState>& page,
                   std::int64_t id, const std::string& url, ScriptedLoad load, platform::WebDone done) {
        auto answer = [self, page, id, url, load = std::move(load), done]() {
            if (done) done(std::nullopt);
            for (platform::WebLoadState state : load.states) {
                auto client = clientOf(self, page);
                if (!client) return;
                client->webLoadStateChanged(state, url, id);
            }
            if (load.failure) {
                if (auto client = clientOf(self, page)) client->webLoadFailed(url, *load.failure, id);
                return;
            }
            for (const auto& [name, body] : load.messages) {
                auto client = clientOf(self, page);
                if (!client) return;
                if (page->hasHandler(name)) client->webScriptMessage(name, body);
            }
        };
        submit(out, page, std::move(answer), [done](const WebError& error) {
            if (done) done(error);
        });
    }
};

// ---- Pages

namespace {

class ScriptedPage : public platform::WebPage {
public:
    using State = ScriptedWebEngine::State;
    using PageState = ScriptedWebEngine::PageState;

    ScriptedPage(std::shared_ptr<State> state, std::shared_ptr<PageState> page)
        : s_(std::move(state)), p_(std::move(page)) {}

    ~ScriptedPage() override {
        Outbox out;
        std::lock_guard lock(s_->mutex);
        p_->alive = false;
        p_->record.destroyed = true;
        p_->waiting.clear();
        s_->failHeld(out, [&](const State::Held& h) { return h.page == p_; }, noPage());
    }

    void resize(platform::Size size, double scale, platform::WebDone done) override {
        Outbox out;
        std::lock_guard lock(s_->mutex);
        p_->record.resizes.push_back({size, scale});
        if (p_->usable()) {
            p_->record.options.size = size;
            p_->record.options.scale = scale;
        }
        if (!done) return;
        s_->submit(out, p_, [done] { done(std::nullopt); }, [done](const WebError& e) { done(e); });
    }

    std::int64_t loadHTML(const std::string& html, const std::string& baseURL, platform::WebDone done) override {
        Outbox out;
        std::lock_guard lock(s_->mutex);
        const std::int64_t id = s_->nextId++;
        ScriptedWebEngine::LoadRecord record;
        record.id = id;
        record.html = true;
        record.url = baseURL.empty() ? "about:blank" : baseURL;
        record.htmlText = html;
        p_->record.loads.push_back(record);
        s_->startLoad(out, s_, p_, id, record.url, s_->loadFor(true, html), std::move(done));
        return id;
    }

    std::int64_t loadURL(const std::string& url, const std::map<std::string, std::string>& headers,
                         platform::WebDone done) override {
        Outbox out;
        std::lock_guard lock(s_->mutex);
        const std::int64_t id = s_->nextId++;
        ScriptedWebEngine::LoadRecord record;
        record.id = id;
        record.url = url;
        record.headers = headers;
        p_->record.loads.push_back(record);
        s_->startLoad(out, s_, p_, id, url, s_->loadFor(false, url), std::move(done));
        return id;
    }

    void evaluate(const std::string& script, double timeoutSeconds, platform::WebValueDone done) override {
        Outbox out;
        std::lock_guard lock(s_->mutex);
        p_->record.evaluations.push_back({script, timeoutSeconds});
        if (!done) return;
        Value value;
        std::optional<WebError> error;
        bool matched = false;
        for (auto it = s_->evaluateRules.rbegin(); it != s_->evaluateRules.rend() && !matched; ++it) {
            if (!it->match.matches(script)) continue;
            matched = true;
            value = it->value;
            error = it->error;
        }
        if (!matched && trimmed(script) == "navigator.userAgent") value = Value(p_->agent);
        s_->submit(
            out, p_, [done, value, error] { done(error ? Value() : value, error); },
            [done](const WebError& e) { done(Value(), e); });
    }

    void decideNavigation(std::int64_t navigation, bool allow) override {
        Outbox out;
        std::lock_guard lock(s_->mutex);
        const auto it = p_->waiting.find(navigation);
        const bool known = it != p_->waiting.end();
        p_->record.decisions.push_back({navigation, allow, known});
        if (!known) return;
        const std::string url = it->second.url;
        p_->waiting.erase(it);
        if (!allow || !p_->usable()) return;
        ScriptedWebEngine::LoadRecord record;
        record.id = navigation;
        record.navigation = true;
        record.url = url;
        p_->record.loads.push_back(record);
        s_->startLoad(out, s_, p_, navigation, url, s_->loadFor(false, url), nullptr);
    }

    void snapshot(platform::WebSnapshotDone done) override {
        Outbox out;
        std::lock_guard lock(s_->mutex);
        ++p_->record.snapshots;
        if (!done) return;
        std::string png;
        std::optional<WebError> error;
        if (s_->snapshotError) {
            error = WebError{WebError::Kind::Failed, *s_->snapshotError};
        } else if (s_->snapshotPNG) {
            png = *s_->snapshotPNG;
        } else {
            const auto& options = p_->record.options;
            const double w = std::ceil(options.size.width * options.scale), h = std::ceil(options.size.height * options.scale);
            if (!(w >= 1 && h >= 1 && w <= 8192 && h <= 8192)) {
                error = WebError{WebError::Kind::Failed, "the page has no size to draw"};
            } else {
                png = ScriptedWebEngine::solidColorPNG(static_cast<int>(w), static_cast<int>(h), s_->snapshotColor);
            }
        }
        s_->submit(
            out, p_, [done, png = std::move(png), error] { done(error ? std::string() : png, error); },
            [done](const WebError& e) { done(std::string(), e); });
    }

private:
    std::shared_ptr<State> s_;
    std::shared_ptr<PageState> p_;
};

}  // namespace

// ---- The engine

ScriptedWebEngine::ScriptedWebEngine() : state_(std::make_shared<State>()) {}

ScriptedWebEngine::~ScriptedWebEngine() {
    // Pages may outlive their engine; what it still held is answered as a lost engine's.
    Outbox out;
    std::lock_guard lock(state_->mutex);
    state_->failHeld(out, [](const State::Held&) { return true; },
                     WebError{WebError::Kind::EngineLost, "the web engine was shut down"});
}

void ScriptedWebEngine::onLoadHTML(TextMatch html, ScriptedLoad load) {
    std::lock_guard lock(state_->mutex);
    state_->loadRules.push_back({true, std::move(html), std::move(load)});
}

void ScriptedWebEngine::onLoadURL(TextMatch url, ScriptedLoad load) {
    std::lock_guard lock(state_->mutex);
    state_->loadRules.push_back({false, std::move(url), std::move(load)});
}

void ScriptedWebEngine::onEvaluate(TextMatch script, Value answer) {
    std::lock_guard lock(state_->mutex);
    state_->evaluateRules.push_back({std::move(script), std::move(answer), std::nullopt});
}

void ScriptedWebEngine::onEvaluateError(TextMatch script, std::string message, WebError::Kind kind) {
    std::lock_guard lock(state_->mutex);
    state_->evaluateRules.push_back({std::move(script), Value(), WebError{kind, std::move(message)}});
}

void ScriptedWebEngine::setUserAgent(std::optional<std::string> agent) {
    std::lock_guard lock(state_->mutex);
    state_->agent = std::move(agent);
}

void ScriptedWebEngine::setSnapshotPNG(std::string png) {
    std::lock_guard lock(state_->mutex);
    state_->snapshotPNG = std::move(png);
    state_->snapshotError.reset();
}

void ScriptedWebEngine::setSnapshotColor(std::uint32_t argb) {
    std::lock_guard lock(state_->mutex);
    state_->snapshotColor = argb;
    state_->snapshotPNG.reset();
    state_->snapshotError.reset();
}

void ScriptedWebEngine::setSnapshotError(std::string message) {
    std::lock_guard lock(state_->mutex);
    state_->snapshotError = std::move(message);
}

void ScriptedWebEngine::setSilent(bool silent) {
    std::lock_guard lock(state_->mutex);
    state_->silent = silent;
}

std::size_t ScriptedWebEngine::heldCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->held.size();
}

std::size_t ScriptedWebEngine::release() {
    Outbox out;
    std::lock_guard lock(state_->mutex);
    const std::size_t n = state_->held.size();
    for (auto& h : state_->held) out.add([answer = std::move(h.answer), fail = std::move(h.fail)] { answer(); });
    state_->held.clear();
    return n;
}

std::int64_t ScriptedWebEngine::requestNavigation(const std::string& url, platform::WebNavigationType type,
                                                  bool newWindow, std::optional<std::size_t> index) {
    Outbox out;
    std::lock_guard lock(state_->mutex);
    auto page = state_->find(index);
    if (!page) return 0;
    platform::WebNavigationAction action;
    action.id = state_->nextId++;
    action.url = url;
    action.type = type;
    action.newWindow = newWindow;
    page->waiting[action.id] = action;
    out.add([s = state_, page, action] {
        if (auto client = State::clientOf(s, page)) client->webNavigationRequested(action);
    });
    return action.id;
}

bool ScriptedWebEngine::postMessage(const std::string& name, const Value& body, std::optional<std::size_t> index) {
    Outbox out;
    std::lock_guard lock(state_->mutex);
    auto page = state_->find(index);
    if (!page || !page->hasHandler(name)) return false;
    out.add([s = state_, page, name, body] {
        if (auto client = State::clientOf(s, page)) client->webScriptMessage(name, body);
    });
    return true;
}

bool ScriptedWebEngine::crash(const std::string& message, std::optional<std::size_t> index) {
    Outbox out;
    std::lock_guard lock(state_->mutex);
    auto page = state_->find(index);
    if (!page) return false;
    ++page->record.crashes;
    page->waiting.clear();
    state_->failHeld(out, [&](const State::Held& h) { return h.page == page; },
                     WebError{WebError::Kind::Failed, message});
    out.add([s = state_, page, message] {
        if (auto client = State::clientOf(s, page)) client->webPageCrashed(message, false);
    });
    return true;
}

void ScriptedWebEngine::loseEngine(const std::string& message) {
    Outbox out;
    std::lock_guard lock(state_->mutex);
    state_->failHeld(out, [](const State::Held&) { return true; }, WebError{WebError::Kind::EngineLost, message});
    for (const auto& page : state_->pages) {
        if (!page->usable()) continue;
        page->lost = page->record.lost = true;
        page->waiting.clear();
        out.add([s = state_, page, message] {
            std::shared_ptr<WebPageClient> client;
            {
                std::lock_guard guard(s->mutex);
                if (page->alive) client = page->client.lock();
            }
            if (client) client->webPageCrashed(message, true);
        });
    }
}

std::size_t ScriptedWebEngine::pageCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->pages.size();
}

std::size_t ScriptedWebEngine::livePageCount() const {
    std::lock_guard lock(state_->mutex);
    return static_cast<std::size_t>(
        std::count_if(state_->pages.begin(), state_->pages.end(), [](const auto& p) { return p->alive; }));
}

ScriptedWebEngine::PageRecord ScriptedWebEngine::page(std::size_t index) const {
    std::lock_guard lock(state_->mutex);
    return index < state_->pages.size() ? state_->pages[index]->record : PageRecord{};
}

std::vector<ScriptedWebEngine::PageRecord> ScriptedWebEngine::pages() const {
    std::lock_guard lock(state_->mutex);
    std::vector<PageRecord> out;
    for (const auto& p : state_->pages) out.push_back(p->record);
    return out;
}

int ScriptedWebEngine::defaultUserAgentRequests() const {
    std::lock_guard lock(state_->mutex);
    return state_->agentRequests;
}

std::shared_ptr<platform::WebPage> ScriptedWebEngine::createPage(const platform::WebPageOptions& options,
                                                                 std::weak_ptr<WebPageClient> client) {
    std::lock_guard lock(state_->mutex);
    auto page = std::make_shared<PageState>();
    page->record.index = state_->pages.size();
    page->record.options = options;
    page->client = std::move(client);
    const std::string own = state_->agent.value_or(kUserAgent);
    page->agent = !options.userAgent.empty()       ? options.userAgent
                  : options.applicationName.empty() ? own
                                                    : own + " " + options.applicationName;
    state_->pages.push_back(page);
    return std::make_shared<ScriptedPage>(state_, page);
}

void ScriptedWebEngine::defaultUserAgent(std::function<void(const std::optional<std::string>&)> done) {
    Outbox out;
    std::lock_guard lock(state_->mutex);
    ++state_->agentRequests;
    if (!done) return;
    state_->submit(
        out, nullptr, [done, agent = state_->agent] { done(agent); },
        [done](const WebError&) { done(std::nullopt); });
}

// ---- PNG

namespace {

std::uint32_t crc32(const std::string& bytes, std::size_t from) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = from; i < bytes.size(); ++i) c = table[(c ^ static_cast<unsigned char>(bytes[i])) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void putBigEndian32(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void putChunk(std::string& png, const char* type, const std::string& data) {
    putBigEndian32(png, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = png.size();
    png.append(type, 4);
    png.append(data);
    putBigEndian32(png, crc32(png, start));
}

}  // namespace

std::string ScriptedWebEngine::encodePNG(int width, int height, const std::vector<std::uint32_t>& argb) {
    if (width <= 0 || height <= 0 || argb.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height))
        return {};
    // Rows of filter byte 0 and RGBA, in stored (uncompressed) deflate blocks.
    std::string raw;
    raw.reserve(static_cast<std::size_t>(height) * (1 + 4 * static_cast<std::size_t>(width)));
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);
        for (int x = 0; x < width; ++x) {
            const std::uint32_t p = argb[static_cast<std::size_t>(y) * width + x];
            raw.push_back(static_cast<char>((p >> 16) & 0xFF));
            raw.push_back(static_cast<char>((p >> 8) & 0xFF));
            raw.push_back(static_cast<char>(p & 0xFF));
            raw.push_back(static_cast<char>((p >> 24) & 0xFF));
        }
    }
    std::string z{'\x78', '\x01'};
    std::size_t at = 0;
    do {
        const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
        z.push_back(at + n == raw.size() ? 1 : 0);
        z.push_back(static_cast<char>(n & 0xFF));
        z.push_back(static_cast<char>(n >> 8));
        z.push_back(static_cast<char>(~n & 0xFF));
        z.push_back(static_cast<char>((~n >> 8) & 0xFF));
        z.append(raw, at, n);
        at += n;
    } while (at < raw.size());
    std::uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    putBigEndian32(z, (b << 16) | a);

    std::string png("\x89PNG\r\n\x1a\n", 8);
    std::string header;
    putBigEndian32(header, static_cast<std::uint32_t>(width));
    putBigEndian32(header, static_cast<std::uint32_t>(height));
    header.append("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA, deflate, no filter method, no interlace
    putChunk(png, "IHDR", header);
    putChunk(png, "IDAT", z);
    putChunk(png, "IEND", "");
    return png;
}

std::string ScriptedWebEngine::solidColorPNG(int width, int height, std::uint32_t argb) {
    if (width <= 0 || height <= 0) return {};
    return encodePNG(width, height,
                     std::vector<std::uint32_t>(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), argb));
}

}  // namespace qm::testkit
