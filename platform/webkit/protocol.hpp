// The line protocol between the library and the `qm-webkit` helper process.
//
// Every message is one line of compact JSON ending in "\n". The library sends requests:
//   {"id":7,"op":"evaluate","view":1,"script":"1+1","timeoutMs":2000}
// and the helper answers each exactly once with the same id:
//   {"id":7,"result":"ok","value":2}
// (hello answers the protocol version, the engine's version and its default "userAgent").
//   {"id":7,"result":"error","kind":"exception","message":"ReferenceError: ..."}
// Between answers the helper sends events, which carry "event" and no id:
//   {"event":"scriptMessage","view":1,"name":"qm","body":{"a":1}}
//
// Decoding is strict: a line that is not a well-formed message of a known kind, with every
// required field of the right type and within its bounds, is refused with a one-line reason
// (the helper answers it with kind "bad request"). Nothing here throws or aborts on input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quelmar/value.hpp"

namespace qm::webkit {

inline constexpr int kProtocolVersion = 1;
// No line, in either direction, may be longer than this (a full-screen PNG in base64 fits).
inline constexpr std::size_t kMaxLineBytes = std::size_t{64} << 20;
// Request ids and view ids are positive integers a double holds exactly.
inline constexpr std::int64_t kMaxId = (std::int64_t{1} << 53) - 1;
inline constexpr int kMaxViewSide = 8192;   // CSS px
inline constexpr double kMinScale = 0.25;
inline constexpr double kMaxScale = 4.0;
inline constexpr std::int64_t kDefaultTimeoutMs = 10'000;
inline constexpr std::int64_t kMaxTimeoutMs = 600'000;
inline constexpr std::size_t kMaxHandlers = 32;
inline constexpr std::size_t kMaxHandlerNameBytes = 64;
inline constexpr std::size_t kMaxHeaders = 64;
inline constexpr std::size_t kMaxHeaderBytes = 8192;  // one header's name and value together
inline constexpr std::size_t kMaxAddressBytes = 300;  // a route's "host:port"

// ---- Requests --------------------------------------------------------------------------

enum class Op {
    Hello,
    CreateView,
    DestroyView,
    Resize,
    LoadHTML,
    LoadURL,
    Evaluate,
    DecideNavigation,
    Snapshot,
    TrustCertificate,
    Route,
    Ping,
    Shutdown,
};

std::string_view opName(Op op);
std::optional<Op> opFromName(std::string_view name);

// One request. Only the fields of its op are written and read; the others keep their defaults.
struct Request {
    std::int64_t id = 0;
    Op op = Op::Ping;
    std::int64_t view = 0;  // every op on a view

    // createView, resize
    int width = 0;   // CSS px
    int height = 0;  // CSS px
    double scale = 1.0;
    // createView
    std::string userAgent;        // empty: the engine's own
    std::string applicationName;  // "name/version" ending the engine's own agent (no userAgent)
    std::vector<std::string> handlers;

    // loadHTML: html and baseURL (empty: about:blank); loadURL: url
    std::string html;
    std::string baseURL;
    std::string url;
    // loadURL: HTTP headers the request carries (a User-Agent one replaces the view's)
    std::map<std::string, std::string> headers;

    // evaluate
    std::string script;
    std::int64_t timeoutMs = kDefaultTimeoutMs;  // evaluate and snapshot

    // decideNavigation
    std::int64_t navigation = 0;
    bool allow = false;

    // snapshot: empty path answers the PNG in base64, else the PNG is written to the path
    std::string path;

    // trustCertificate: the host and its certificate; route: the certificate authorities the
    // routed service's certificates are checked against (empty: none is trusted beyond the
    // engine's own)
    std::string host;
    std::string certificatePEM;
    // route: "host:port" every connection to a host's port 443 goes to (empty: none, the
    // engine connects directly)
    std::string address;

    friend bool operator==(const Request&, const Request&) = default;
};

// ---- Answers ---------------------------------------------------------------------------

enum class ErrorKind {
    Exception,   // the script threw; message is the engine's text
    Timeout,     // the deadline passed first
    NoView,      // no view with that id
    BadRequest,  // the request was malformed or its values out of bounds
    Failed,      // the engine could not do it (a snapshot that failed, a PEM it refused)
};

std::string_view errorKindName(ErrorKind kind);
std::optional<ErrorKind> errorKindFromName(std::string_view name);

struct Response {
    std::int64_t id = 0;  // 0 only when answering a line whose id could not be read
    bool ok = true;
    ErrorKind kind = ErrorKind::Failed;  // when !ok
    std::string message;                 // when !ok
    // When ok: the answer's own fields ("value" of an evaluate, "png" of a snapshot, ...).
    // Always a dictionary; its keys never clash with id/result/kind/message.
    Value fields = Value::dictionary();

    static Response success(std::int64_t id, Value fields = Value::dictionary());
    static Response failure(std::int64_t id, ErrorKind kind, std::string message);
};

// ---- Events ----------------------------------------------------------------------------

enum class EventKind {
    Ready,                // the helper is up: version, pid, xvfbPid, display
    LoadState,            // view, state, url, load
    LoadFailed,           // view, url, message, load
    NavigationRequested,  // view, navigation, url, mainFrame, newWindow, navigationType
    ScriptMessage,        // view, name, body
    ViewCrashed,          // view, message
    Fatal,                // message; the helper exits after it
};

enum class LoadState { Started, Redirected, Committed, Finished };

// Why a navigation happens, as the engine tells it.
enum class NavigationType { LinkActivated, FormSubmitted, BackForward, Reload, FormResubmitted, Other };

std::string_view eventKindName(EventKind kind);
std::string_view loadStateName(LoadState state);
std::string_view navigationTypeName(NavigationType type);
std::optional<NavigationType> navigationTypeFromName(std::string_view name);

struct Event {
    EventKind kind = EventKind::Ready;
    std::int64_t view = 0;
    LoadState state = LoadState::Started;
    std::string url;
    std::string message;
    // The request id of the loadHTML/loadURL, or the navigation id of the allowed navigation,
    // that started the load these load events belong to (0: none the library knows of).
    std::int64_t load = 0;
    std::int64_t navigation = 0;
    // Whether the navigation is the page's own (not a frame's): absent when the engine does
    // not say, which is the case for the engine the helper runs.
    std::optional<bool> mainFrame;
    bool newWindow = false;  // the page asked for a new window (target=_blank, window.open)
    NavigationType navigationType = NavigationType::Other;
    std::string name;         // scriptMessage
    Value body = Value::null();  // scriptMessage
    // ready
    int version = kProtocolVersion;
    std::int64_t pid = 0;      // the helper's
    std::int64_t xvfbPid = 0;  // its display server's
    std::string display;

    friend bool operator==(const Event&, const Event&) = default;
};

// Whether text is a route's address: "host:port" or "[v6]:port", a port from 1 to 65535,
// at most kMaxAddressBytes, no spaces, control characters, "/" or "@".
bool isRouteAddress(std::string_view address);

// ---- Encoding and decoding -------------------------------------------------------------

// The line for a message, "\n" included; nothing (and *error) when the message is out of
// bounds (a body or value JSON cannot hold, a line longer than kMaxLineBytes).
std::optional<std::string> encode(const Request& request, std::string* error = nullptr);
std::optional<std::string> encode(const Response& response, std::string* error = nullptr);
std::optional<std::string> encode(const Event& event, std::string* error = nullptr);

// A line read by the helper (with or without its "\n").
struct DecodedRequest {
    std::optional<Request> request;  // set when the line is a valid request
    std::int64_t id = 0;             // the id when it could be read, for the error answer
    std::string error;               // why it was refused
};
DecodedRequest decodeRequest(std::string_view line);

// A line read by the library: an answer or an event.
using Incoming = std::variant<Response, Event>;
std::optional<Incoming> decodeIncoming(std::string_view line, std::string* error = nullptr);

// ---- Lines on a byte stream ------------------------------------------------------------

// Splits a byte stream into lines, holding at most maxLineBytes of an unfinished line. A line
// longer than that is dropped whole (up to its "\n") and reported once as overlong.
class LineSplitter {
public:
    explicit LineSplitter(std::size_t maxLineBytes = kMaxLineBytes) : max_(maxLineBytes) {}

    struct Line {
        std::string text;  // without "\n"
        bool overlong = false;
    };

    // Appends bytes; call next() until it answers nothing before appending more, so at
    // most the unfinished line and the lines of one append are held.
    void append(std::string_view bytes);
    // The next complete line (or overlong marker), in stream order.
    std::optional<Line> next();
    // Bytes of the unfinished line held.
    std::size_t pendingBytes() const { return tail_.size(); }

private:
    std::size_t max_;
    std::string tail_;        // the unfinished line
    std::deque<Line> ready_;  // complete lines not yet taken
    bool discarding_ = false; // inside an overlong line, dropping until "\n"
};

// ---- Base64 (snapshots travel as text) ---------------------------------------------------

std::string base64Encode(std::string_view bytes);
// Nothing for anything but canonical, padded base64.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace qm::webkit
