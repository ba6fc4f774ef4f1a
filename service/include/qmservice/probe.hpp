// A small HTTPS client for checking the local service from tests and tools: it connects to
// 127.0.0.1 but sends the real host name (SNI and Host header) and, given a CA file, verifies
// the server certificate against that name.
#pragma once

#include <map>
#include <string>

namespace qm::service {

struct ProbeRequest {
    std::string method = "POST";  // "POST" or "GET"
    std::string host;             // the real host name, e.g. "analytics.quelmar.io"
    int port = 0;                 // the local port
    std::string path = "/";       // may carry a query
    std::string body;
    std::string contentType = "application/x-www-form-urlencoded";
    std::map<std::string, std::string> headers;
    std::string caFile;           // empty: the certificate is not verified
    double timeoutSeconds = 5;    // connect, read and write time-out each
};

struct ProbeAnswer {
    bool ok = false;   // an HTTP answer arrived (over a verified connection when caFile is set)
    int status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string error;  // what failed when !ok
};

ProbeAnswer probe(const ProbeRequest& request);

// True when a TLS handshake with `host` at 127.0.0.1:port verifies against caFile and a
// request gets an answer.
bool probeTLS(const std::string& host, int port, const std::string& caFile);

}  // namespace qm::service
