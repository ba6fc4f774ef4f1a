// Certificates for the local service: a CA made for one run and a server certificate signed by
// it for the service's host names.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qm::service::detail {

struct Certificates {
    std::string caPem;          // the CA certificate clients trust
    std::string serverCertPem;  // the server certificate
    std::string serverKeyPem;   // its private key (kept in memory only)
};

// DNS names and IP addresses the server certificate covers: "*.<domain>", "<domain>", each
// "<label>.<domain>", "localhost" and 127.0.0.1. Nothing (and *error) when OpenSSL fails.
std::optional<Certificates> makeCertificates(const std::string& domain,
                                             const std::vector<std::string>& labels,
                                             std::string* error);

}  // namespace qm::service::detail
