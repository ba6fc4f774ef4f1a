#include "protocol.hpp"

#include <array>
#include <cmath>
#include <cstring>

#include "qmplatform/json.hpp"

namespace qm::webkit {

namespace {

constexpr std::array<std::pair<Op, std::string_view>, 13> kOps{{
    {Op::Hello, "hello"},
    {Op::CreateView, "createView"},
    {Op::DestroyView, "destroyView"},
    {Op::Resize, "resize"},
    {Op::LoadHTML, "loadHTML"},
    {Op::LoadURL, "loadURL"},
    {Op::Evaluate, "evaluate"},
    {Op::DecideNavigation, "decideNavigation"},
    {Op::Snapshot, "snapshot"},
    {Op::TrustCertificate, "trustCertificate"},
    {Op::Route, "route"},
    {Op::Ping, "ping"},
    {Op::Shutdown, "shutdown"},
}};

constexpr std::array<std::pair<ErrorKind, std::string_view>, 5> kErrorKinds{{
    {ErrorKind::Exception, "exception"},
    {ErrorKind::Timeout, "timeout"},
    {ErrorKind::NoView, "no view"},
    {ErrorKind::BadRequest, "bad request"},
    {ErrorKind::Failed, "failed"},
}};

constexpr std::array<std::pair<EventKind, std::string_view>, 7> kEventKinds{{
    {EventKind::Ready, "ready"},
    {EventKind::LoadState, "loadState"},
    {EventKind::LoadFailed, "loadFailed"},
    {EventKind::NavigationRequested, "navigationRequested"},
    {EventKind::ScriptMessage, "scriptMessage"},
    {EventKind::ViewCrashed, "viewCrashed"},
    {EventKind::Fatal, "fatal"},
}};

constexpr std::array<std::pair<LoadState, std::string_view>, 4> kLoadStates{{
    {LoadState::Started, "started"},
    {LoadState::Redirected, "redirected"},
    {LoadState::Committed, "committed"},
    {LoadState::Finished, "finished"},
}};

constexpr std::array<std::pair<NavigationType, std::string_view>, 6> kNavigationTypes{{
    {NavigationType::LinkActivated, "linkActivated"},
    {NavigationType::FormSubmitted, "formSubmitted"},
    {NavigationType::BackForward, "backForward"},
    {NavigationType::Reload, "reload"},
    {NavigationType::FormResubmitted, "formResubmitted"},
    {NavigationType::Other, "other"},
}};

template <typename E, std::size_t N>
std::string_view nameOf(const std::array<std::pair<E, std::string_view>, N>& table, E e) {
    for (const auto& [k, name] : table)
        if (k == e) return name;
    return {};
}

template <typename E, std::size_t N>
std::optional<E> fromName(const std::array<std::pair<E, std::string_view>, N>& table, std::string_view name) {
    for (const auto& [k, n] : table)
        if (n == name) return k;
    return std::nullopt;
}

std::optional<std::string> finishLine(const Value& message, std::string* error) {
    std::string why;
    auto text = platform::json::write(message, {}, &why);
    if (!text) {
        if (error) *error = "cannot encode: " + why;
        return std::nullopt;
    }
    if (text->size() + 1 > kMaxLineBytes) {
        if (error) *error = "message longer than the line limit";
        return std::nullopt;
    }
    text->push_back('\n');
    return text;
}

// Reads the fields of one decoded message, remembering the first thing wrong with it.
class Reader {
public:
    explicit Reader(const Value& message) : m_(message) {}

    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    void fail(std::string why) {
        if (error_.empty()) error_ = std::move(why);
    }

    std::int64_t id(std::string_view key, bool required = true) {
        const Value& v = m_[key];
        if (v.isNone() && !required) return 0;
        if (!isWholeNumber(v) || v.integerValue() < 1 || v.integerValue() > kMaxId) {
            fail(std::string(key) + " must be an integer from 1 to 2^53-1");
            return 0;
        }
        return v.integerValue();
    }

    std::int64_t integer(std::string_view key, std::int64_t min, std::int64_t max, std::optional<std::int64_t> fallback) {
        const Value& v = m_[key];
        if (v.isNone() && fallback) return *fallback;
        if (!isWholeNumber(v) || v.integerValue() < min || v.integerValue() > max) {
            fail(std::string(key) + " must be an integer from " + std::to_string(min) + " to " + std::to_string(max));
            return 0;
        }
        return v.integerValue();
    }

    double real(std::string_view key, double min, double max, std::optional<double> fallback) {
        const Value& v = m_[key];
        if (v.isNone() && fallback) return *fallback;
        if ((!v.isInteger() && !v.isReal()) || !std::isfinite(v.doubleValue()) || v.doubleValue() < min ||
            v.doubleValue() > max) {
            fail(std::string(key) + " must be a number from " + formatReal(min) + " to " + formatReal(max));
            return 0;
        }
        return v.doubleValue();
    }

    std::string text(std::string_view key, bool required, bool allowEmpty = true) {
        const Value& v = m_[key];
        if (v.isNone() && !required) return {};
        if (!v.isString() || (!allowEmpty && v.string().empty())) {
            fail(std::string(key) + (allowEmpty ? " must be text" : " must be non-empty text"));
            return {};
        }
        return v.string();
    }

    bool boolean(std::string_view key, std::optional<bool> fallback) {
        const Value& v = m_[key];
        if (v.isNone() && fallback) return *fallback;
        if (!v.isBoolean()) {
            fail(std::string(key) + " must be true or false");
            return false;
        }
        return v.boolValue();
    }

private:
    static bool isWholeNumber(const Value& v) { return v.isInteger(); }
    const Value& m_;
    std::string error_;
};

bool isHandlerName(std::string_view name) {
    if (name.empty() || name.size() > kMaxHandlerNameBytes) return false;
    if (name[0] >= '0' && name[0] <= '9') return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$';
        if (!ok) return false;
    }
    return true;
}

// An HTTP header name: a token (RFC 9110), at most the header limit.
bool isHeaderName(std::string_view name) {
    if (name.empty() || name.size() > kMaxHeaderBytes) return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
        if (!ok) return false;
    }
    return true;
}

// A header value: no line breaks or other control characters but tab.
bool isHeaderValue(std::string_view value) {
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F) return false;
    }
    return true;
}

// A route's address: "host:port" or "[v6]:port", a port from 1 to 65535, no spaces or
// control characters.
bool isAddress(std::string_view address) {
    if (address.empty() || address.size() > kMaxAddressBytes) return false;
    for (char c : address) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '/' || c == '@') return false;
    }
    const auto colon = address.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    const std::string_view host = address.substr(0, colon);
    if (host.front() == '[' ? host.back() != ']' || host.size() < 3 : host.find(':') != std::string_view::npos)
        return false;
    const std::string_view port = address.substr(colon + 1);
    if (port.empty() || port.size() > 5) return false;
    long value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value >= 1 && value <= 65535;
}

bool hasOp(Op op, std::initializer_list<Op> ops) {
    for (Op o : ops)
        if (o == op) return true;
    return false;
}

std::optional<Value> parseLine(std::string_view line, std::string* error) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (line.size() > kMaxLineBytes) {
        if (error) *error = "line longer than the line limit";
        return std::nullopt;
    }
    std::string why;
    auto value = platform::json::parse(line, {}, &why);
    if (!value) {
        if (error) *error = "not JSON: " + why;
        return std::nullopt;
    }
    if (!value->isDictionary()) {
        if (error) *error = "a message must be a JSON object";
        return std::nullopt;
    }
    return value;
}

}  // namespace

bool isRouteAddress(std::string_view address) { return isAddress(address); }

std::string_view opName(Op op) { return nameOf(kOps, op); }
std::optional<Op> opFromName(std::string_view name) { return fromName(kOps, name); }
std::string_view errorKindName(ErrorKind kind) { return nameOf(kErrorKinds, kind); }
std::optional<ErrorKind> errorKindFromName(std::string_view name) { return fromName(kErrorKinds, name); }
std::string_view eventKindName(EventKind kind) { return nameOf(kEventKinds, kind); }
std::string_view loadStateName(LoadState state) { return nameOf(kLoadStates, state); }
std::string_view navigationTypeName(NavigationType type) { return nameOf(kNavigationTypes, type); }
std::optional<NavigationType> navigationTypeFromName(std::string_view name) { return fromName(kNavigationTypes, name); }

Response Response::success(std::int64_t id, Value fields) {
    Response r;
    r.id = id;
    r.ok = true;
    r.fields = fields.isDictionary() ? std::move(fields) : Value::dictionary();
    return r;
}

Response Response::failure(std::int64_t id, ErrorKind kind, std::string message) {
    Response r;
    r.id = id;
    r.ok = false;
    r.kind = kind;
    r.message = std::move(message);
    return r;
}

// ---- Requests --------------------------------------------------------------------------

std::optional<std::string> encode(const Request& r, std::string* error) {
    Value m = Value::dictionary();
    m.set("id", r.id);
    m.set("op", std::string(opName(r.op)));
    const Op op = r.op;
    if (!hasOp(op, {Op::Hello, Op::TrustCertificate, Op::Route, Op::Ping, Op::Shutdown})) m.set("view", r.view);
    if (hasOp(op, {Op::CreateView, Op::Resize})) {
        m.set("width", r.width);
        m.set("height", r.height);
        m.set("scale", r.scale);
    }
    if (op == Op::CreateView) {
        if (!r.userAgent.empty()) m.set("userAgent", r.userAgent);
        if (!r.applicationName.empty()) m.set("applicationName", r.applicationName);
        Value handlers = Value::array();
        for (const auto& h : r.handlers) handlers.append(h);
        m.set("handlers", handlers);
    }
    if (op == Op::LoadHTML) {
        m.set("html", r.html);
        if (!r.baseURL.empty()) m.set("baseURL", r.baseURL);
    }
    if (op == Op::LoadURL) {
        m.set("url", r.url);
        if (!r.headers.empty()) {
            Value headers = Value::dictionary();
            for (const auto& [name, value] : r.headers) headers.set(name, value);
            m.set("headers", headers);
        }
    }
    if (op == Op::Evaluate) m.set("script", r.script);
    if (hasOp(op, {Op::Evaluate, Op::Snapshot})) m.set("timeoutMs", r.timeoutMs);
    if (op == Op::DecideNavigation) {
        m.set("navigation", r.navigation);
        m.set("allow", r.allow);
    }
    if (op == Op::Snapshot && !r.path.empty()) m.set("path", r.path);
    if (op == Op::TrustCertificate) {
        m.set("host", r.host);
        m.set("pem", r.certificatePEM);
    }
    if (op == Op::Route) {
        m.set("address", r.address);
        if (!r.certificatePEM.empty()) m.set("pem", r.certificatePEM);
    }
    return finishLine(m, error);
}

DecodedRequest decodeRequest(std::string_view line) {
    DecodedRequest out;
    auto message = parseLine(line, &out.error);
    if (!message) return out;
    const Value& m = *message;
    Reader in(m);
    Request r;
    r.id = in.id("id");
    if (in.failed()) {
        out.error = in.error();
        return out;
    }
    out.id = r.id;
    const Value& opValue = m["op"];
    auto op = opValue.isString() ? opFromName(opValue.string()) : std::nullopt;
    if (!op) {
        out.error = opValue.isString() ? "unknown op \"" + opValue.string() + "\"" : "op must be text";
        return out;
    }
    r.op = *op;
    if (!hasOp(r.op, {Op::Hello, Op::TrustCertificate, Op::Route, Op::Ping, Op::Shutdown})) r.view = in.id("view");
    if (hasOp(r.op, {Op::CreateView, Op::Resize})) {
        r.width = static_cast<int>(in.integer("width", 1, kMaxViewSide, std::nullopt));
        r.height = static_cast<int>(in.integer("height", 1, kMaxViewSide, std::nullopt));
        r.scale = in.real("scale", kMinScale, kMaxScale, 1.0);
    }
    if (r.op == Op::CreateView) {
        r.userAgent = in.text("userAgent", false);
        r.applicationName = in.text("applicationName", false);
        if (r.applicationName.size() > kMaxHeaderBytes || !isHeaderValue(r.applicationName))
            in.fail("applicationName must be printable text of at most 8192 bytes");
        const Value& handlers = m["handlers"];
        if (!handlers.isNone() && !handlers.isArray()) in.fail("handlers must be a list of names");
        if (handlers.count() > kMaxHandlers) in.fail("at most " + std::to_string(kMaxHandlers) + " handlers");
        for (const auto& h : handlers.arrayItems()) {
            if (!h.isString() || !isHandlerName(h.string())) {
                in.fail("handler names are 1 to 64 letters, digits, _ or $, not starting with a digit");
                break;
            }
            for (const auto& seen : r.handlers)
                if (seen == h.string()) in.fail("handler \"" + seen + "\" named twice");
            r.handlers.push_back(h.string());
        }
    }
    if (r.op == Op::LoadHTML) {
        r.html = in.text("html", true);
        r.baseURL = in.text("baseURL", false);
    }
    if (r.op == Op::LoadURL) {
        r.url = in.text("url", true, false);
        const Value& headers = m["headers"];
        if (!headers.isNone() && !headers.isDictionary()) in.fail("headers must be an object of text");
        if (headers.count() > kMaxHeaders) in.fail("at most " + std::to_string(kMaxHeaders) + " headers");
        if (headers.isDictionary()) {
            for (const auto& [name, value] : headers.dictionaryItems()) {
                if (!isHeaderName(name)) {
                    in.fail("header names are tokens of at most 8192 bytes");
                    break;
                }
                if (!value.isString() || !isHeaderValue(value.string()) ||
                    name.size() + value.string().size() > kMaxHeaderBytes) {
                    in.fail("header \"" + name + "\" must be text without line breaks, at most 8192 bytes");
                    break;
                }
                r.headers[name] = value.string();
            }
        }
    }
    if (r.op == Op::Evaluate) r.script = in.text("script", true, false);
    if (hasOp(r.op, {Op::Evaluate, Op::Snapshot})) r.timeoutMs = in.integer("timeoutMs", 1, kMaxTimeoutMs, kDefaultTimeoutMs);
    if (r.op == Op::DecideNavigation) {
        r.navigation = in.id("navigation");
        r.allow = in.boolean("allow", std::nullopt);
    }
    if (r.op == Op::Snapshot) {
        r.path = in.text("path", false);
        if (!r.path.empty() && r.path.front() != '/') in.fail("path must be absolute");
    }
    if (r.op == Op::TrustCertificate) {
        r.host = in.text("host", true, false);
        r.certificatePEM = in.text("pem", true, false);
    }
    if (r.op == Op::Route) {
        // An empty address takes the route away.
        r.address = in.text("address", true);
        if (!in.failed() && !r.address.empty() && !isAddress(r.address))
            in.fail("address must be host:port with a port from 1 to 65535");
        r.certificatePEM = in.text("pem", false);
        if (!r.certificatePEM.empty() && r.address.empty()) in.fail("pem needs an address");
    }
    if (in.failed()) {
        out.error = std::string(opName(r.op)) + ": " + in.error();
        return out;
    }
    out.request = std::move(r);
    return out;
}

// ---- Answers and events ----------------------------------------------------------------

std::optional<std::string> encode(const Response& r, std::string* error) {
    Value m = r.ok ? r.fields : Value::dictionary();
    if (!m.isDictionary()) m = Value::dictionary();
    for (const char* reserved : {"id", "result", "kind", "message", "event"}) {
        if (m.contains(reserved)) {
            if (error) *error = std::string("answer field \"") + reserved + "\" is reserved";
            return std::nullopt;
        }
    }
    m.set("id", r.id);
    m.set("result", r.ok ? "ok" : "error");
    if (!r.ok) {
        m.set("kind", std::string(errorKindName(r.kind)));
        m.set("message", r.message);
    }
    return finishLine(m, error);
}

std::optional<std::string> encode(const Event& e, std::string* error) {
    Value m = Value::dictionary();
    m.set("event", std::string(eventKindName(e.kind)));
    switch (e.kind) {
    case EventKind::Ready:
        m.set("version", e.version);
        m.set("pid", e.pid);
        m.set("xvfbPid", e.xvfbPid);
        m.set("display", e.display);
        break;
    case EventKind::LoadState:
        m.set("view", e.view);
        m.set("state", std::string(loadStateName(e.state)));
        m.set("url", e.url);
        m.set("load", e.load);
        break;
    case EventKind::LoadFailed:
        m.set("view", e.view);
        m.set("url", e.url);
        m.set("message", e.message);
        m.set("load", e.load);
        break;
    case EventKind::NavigationRequested:
        m.set("view", e.view);
        m.set("navigation", e.navigation);
        m.set("url", e.url);
        if (e.mainFrame) m.set("mainFrame", *e.mainFrame);
        m.set("newWindow", e.newWindow);
        m.set("navigationType", std::string(navigationTypeName(e.navigationType)));
        break;
    case EventKind::ScriptMessage:
        m.set("view", e.view);
        m.set("name", e.name);
        m.set("body", e.body.isNone() ? Value::null() : e.body);
        break;
    case EventKind::ViewCrashed:
        m.set("view", e.view);
        m.set("message", e.message);
        break;
    case EventKind::Fatal:
        m.set("message", e.message);
        break;
    }
    return finishLine(m, error);
}

namespace {

std::optional<Event> decodeEvent(const Value& m, std::string* error) {
    Reader in(m);
    Event e;
    auto kind = fromName(kEventKinds, m["event"].string());
    if (!kind) {
        if (error) *error = "unknown event \"" + m["event"].string() + "\"";
        return std::nullopt;
    }
    e.kind = *kind;
    switch (e.kind) {
    case EventKind::Ready:
        e.version = static_cast<int>(in.integer("version", 1, 1'000'000, std::nullopt));
        e.pid = in.integer("pid", 1, kMaxId, std::nullopt);
        e.xvfbPid = in.integer("xvfbPid", 1, kMaxId, std::nullopt);
        e.display = in.text("display", true);
        break;
    case EventKind::LoadState: {
        e.view = in.id("view");
        auto state = fromName(kLoadStates, in.text("state", true));
        if (!state) in.fail("unknown load state");
        e.state = state.value_or(LoadState::Started);
        e.url = in.text("url", true);
        e.load = in.integer("load", 0, kMaxId, 0);
        break;
    }
    case EventKind::LoadFailed:
        e.view = in.id("view");
        e.url = in.text("url", true);
        e.message = in.text("message", true);
        e.load = in.integer("load", 0, kMaxId, 0);
        break;
    case EventKind::NavigationRequested:
        e.view = in.id("view");
        e.navigation = in.id("navigation");
        e.url = in.text("url", true);
        if (m.contains("mainFrame")) e.mainFrame = in.boolean("mainFrame", std::nullopt);
        e.newWindow = in.boolean("newWindow", false);
        if (m.contains("navigationType")) {
            // Absent from older helpers: "other" then.
            auto type = navigationTypeFromName(in.text("navigationType", true));
            if (!type && !in.failed()) in.fail("unknown navigation type");
            e.navigationType = type.value_or(NavigationType::Other);
        }
        break;
    case EventKind::ScriptMessage:
        e.view = in.id("view");
        e.name = in.text("name", true, false);
        if (!m.contains("body")) in.fail("body is missing");
        e.body = m["body"];
        break;
    case EventKind::ViewCrashed:
        e.view = in.id("view");
        e.message = in.text("message", false);
        break;
    case EventKind::Fatal:
        e.message = in.text("message", true);
        break;
    }
    if (in.failed()) {
        if (error) *error = std::string(eventKindName(e.kind)) + ": " + in.error();
        return std::nullopt;
    }
    return e;
}

std::optional<Response> decodeResponse(const Value& m, std::string* error) {
    Reader in(m);
    Response r;
    // An answer to a line whose id could not be read carries id 0.
    r.id = in.integer("id", 0, kMaxId, std::nullopt);
    const std::string result = in.text("result", true);
    if (!in.failed() && result != "ok" && result != "error") in.fail("result must be \"ok\" or \"error\"");
    if (!in.failed() && result == "error") {
        r.ok = false;
        auto kind = errorKindFromName(in.text("kind", true));
        if (!kind && !in.failed()) in.fail("unknown error kind");
        r.kind = kind.value_or(ErrorKind::Failed);
        r.message = in.text("message", true);
    } else if (!in.failed()) {
        Value fields = m;
        fields.remove("id");
        fields.remove("result");
        r.fields = fields;
    }
    if (in.failed()) {
        if (error) *error = "answer: " + in.error();
        return std::nullopt;
    }
    return r;
}

}  // namespace

std::optional<Incoming> decodeIncoming(std::string_view line, std::string* error) {
    auto message = parseLine(line, error);
    if (!message) return std::nullopt;
    const Value& m = *message;
    if (m.contains("event")) {
        if (!m["event"].isString()) {
            if (error) *error = "event must be text";
            return std::nullopt;
        }
        if (m.contains("id")) {
            if (error) *error = "an event carries no id";
            return std::nullopt;
        }
        auto e = decodeEvent(m, error);
        if (!e) return std::nullopt;
        return Incoming{std::move(*e)};
    }
    auto r = decodeResponse(m, error);
    if (!r) return std::nullopt;
    return Incoming{std::move(*r)};
}

// ---- Lines -----------------------------------------------------------------------------

void LineSplitter::append(std::string_view bytes) {
    while (!bytes.empty()) {
        const auto nl = bytes.find('\n');
        const std::string_view part = nl == std::string_view::npos ? bytes : bytes.substr(0, nl);
        if (!discarding_) {
            if (tail_.size() + part.size() > max_) {
                // Too long: drop what there is and the rest of the line, and say so once.
                tail_.clear();
                tail_.shrink_to_fit();
                discarding_ = true;
                ready_.push_back(Line{{}, true});
            } else {
                tail_.append(part);
            }
        }
        if (nl == std::string_view::npos) return;
        if (!discarding_) ready_.push_back(Line{std::move(tail_), false});
        tail_.clear();
        discarding_ = false;
        bytes.remove_prefix(nl + 1);
    }
}

std::optional<LineSplitter::Line> LineSplitter::next() {
    if (ready_.empty()) return std::nullopt;
    Line line = std::move(ready_.front());
    ready_.pop_front();
    return line;
}

// ---- Base64 ----------------------------------------------------------------------------

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
}  // namespace

std::string base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        if (pad == 1 && text[i + 2] == '=') return std::nullopt;
        int s[4];
        for (int k = 0; k < 4 - pad; ++k) {
            s[k] = sextet(text[i + static_cast<std::size_t>(k)]);
            if (s[k] < 0) return std::nullopt;
        }
        for (int k = 4 - pad; k < 4; ++k) s[k] = 0;
        const unsigned v = (static_cast<unsigned>(s[0]) << 18) | (static_cast<unsigned>(s[1]) << 12) |
                           (static_cast<unsigned>(s[2]) << 6) | static_cast<unsigned>(s[3]);
        // Canonical form: the bits padding hides must be zero.
        if ((pad == 1 && (v & 0xFF) != 0) || (pad == 2 && (v & 0xFFFF) != 0)) return std::nullopt;
        out += static_cast<char>((v >> 16) & 0xFF);
        if (pad < 2) out += static_cast<char>((v >> 8) & 0xFF);
        if (pad < 1) out += static_cast<char>(v & 0xFF);
    }
    return out;
}

}  // namespace qm::webkit
