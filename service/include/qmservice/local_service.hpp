// The local counterpart of the marketing service: a real HTTPS server on 127.0.0.1 that answers
// every endpoint the library calls with realistic sample answers, records what it receives and
// can be told to misbehave per endpoint.
//
// Clients connect to 127.0.0.1:port() while sending the real host name ("<label>.<domain>") as
// SNI and Host header; the server certificate is signed by a CA generated at start() and
// written to caFile(), which clients trust for the run.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "quelmar/value.hpp"

namespace qm::service {

struct RecordedRequest {
    double time = 0;  // seconds since 2001-01-01 UTC, from the system clock
    std::string method, host, path;               // host without port, path without query
    std::map<std::string, std::string> headers;   // names lower-cased
    std::string body;                             // raw body
    // Form fields of the query and the body (name -> text, the body's win), decoded as any
    // server decodes form text: "+" is a space, %XX escapes are bytes ("%2B" is "+").
    qm::Value fields;
    std::string endpoint;  // last path component: "settings", "event", "stats", "modal", ...
    std::string service;   // "mobile", "push", "analytics", "livechat"; empty for other hosts
};

enum class FaultKind {
    None,
    Delay,         // the normal answer after delaySeconds
    NoAnswer,      // the connection is held until the client gives up or the service stops
    ServerError,   // HTTP `status` (500 unless set) with {"error":"internal"}
    NotJSON,       // HTTP 200 with an HTML body
    EmptyBody,     // HTTP 200 without a body
    Refusal,       // the normal answer with "Authentication" and "Account" "failed"
    Redirect,      // `status` (307 unless set) to the same path on the same host (a relative
                   // Location); while the fault lasts, every hop is redirected again
    RedirectHTTP,  // `status` (307 unless set) to http://127.0.0.1:<plainPort()> and the path
    RedirectHost,  // `status` (307 unless set) to https://elsewhere.<domain> and the path
    Trickle,       // the normal answer a few bytes at a time, delaySeconds between the pieces
    Oversize,      // HTTP 200 with a JSON object of `size` bytes (kDefaultOversize unless set),
                   // made while it is sent; with a Content-Length unless `chunked`
};

struct Fault {
    FaultKind kind = FaultKind::None;
    double delaySeconds = 0;
    int count = -1;  // -1: every request; otherwise the next `count` requests
    int status = 0;  // ServerError and the redirects: the status code (0: their default)
    std::size_t size = 0;  // Oversize: the body's length (0: kDefaultOversize)
    bool chunked = false;  // Oversize: chunked transfer encoding instead of a Content-Length
};

class LocalService {
public:
    // Request bodies up to this size are read; a larger one is answered with 413 and
    // {"Authentication":"failed","Message":"request body too large"}.
    static constexpr std::size_t kMaxRequestBody = 2 * 1024 * 1024;
    static constexpr std::size_t kDefaultOversize = 20 * 1024 * 1024;

    struct Options {
        std::string stateDir;        // the CA certificate goes here (created if missing)
        std::string fixturesDir;     // empty: the sample answers that ship with the service
        std::string domain = "quelmar.io";
        int port = 0;                // 0: an ephemeral port
        // Called on a server thread after each request is recorded (optional).
        std::function<void(const RecordedRequest&)> observer;
        // A named set of answers laid over the fixtures: the files of fixturesDir/sets/NAME
        // replace the fixtures of the same name (empty: none).
        std::string fixtureSet;
    };

    explicit LocalService(Options options);
    ~LocalService();
    LocalService(const LocalService&) = delete;
    LocalService& operator=(const LocalService&) = delete;

    // Generates the certificates, loads the fixtures and starts serving. False (with the
    // reason in lastError()) when the state folder, the certificates or the port fail.
    bool start();
    // Stops serving; returns promptly even while requests are held or delayed.
    void stop();
    bool running() const;

    int port() const;
    std::string address() const;  // "127.0.0.1:PORT"
    std::string caFile() const;   // stateDir + "/ca.pem"
    // The server's own certificate (PEM) of this run, for clients that trust a host's
    // certificate rather than a CA (the web engine); empty before start().
    std::string serverCertificatePEM() const;
    std::string domain() const;
    std::string lastError() const;

    // Host name for a subdomain label: "analytics" -> "analytics.<domain>".
    std::string hostFor(const std::string& label) const;

    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requestsFor(const std::string& endpoint) const;
    // Forgets the recorded requests and the plain listener's contacts.
    void clearRequests();
    // Waits (real time) until `done` holds for the recorded requests; false on time-out.
    bool waitFor(const std::function<bool(const std::vector<RecordedRequest>&)>& done,
                 double timeoutSeconds);

    // Faults and answers are keyed by final name ("event"), by "<service>/<endpoint>"
    // ("push/stats") where the name alone is ambiguous, or "*" (faults only) for every
    // endpoint. The most specific key wins.
    void setFault(const std::string& endpoint, Fault fault);
    void clearFaults();
    // Replaces the fixture answer for that endpoint.
    void setAnswer(const std::string& endpoint, qm::Value answer);
    // Answers from the fixtures with the set NAME laid over them from now on ("" for the
    // fixtures alone). False (with the reason in lastError()) when the set cannot be read;
    // the answers then stay as they were.
    bool useFixtureSet(const std::string& name);

    // The plain-HTTP listener on 127.0.0.1 that RedirectHTTP points at. It answers every
    // request with {"plain":true} and keeps what each accepted connection sent, so that a test
    // can tell whether anything (a body in particular) reached it.
    int plainPort() const;
    std::vector<std::string> plainContacts() const;
    // Bytes of Trickle and Oversize answers handed to connections so far.
    std::size_t streamedBytes() const;

    // The service kind a subdomain label belongs to ("stagepush" -> "push"); empty if unknown.
    static std::string serviceForLabel(const std::string& label);
    // Every subdomain label of every environment.
    static const std::vector<std::string>& knownLabels();

    struct State;

private:
    bool startServing();
    std::shared_ptr<State> state_;
};

}  // namespace qm::service
