// Sends the engine's traffic for every host to one address (a development service on
// loopback), the way the library's own transport does with its connect-to setting.
//
// The engine is given a proxy inside this process, listening on 127.0.0.1 on a port of its
// own, run on the helper's main loop:
//   - "CONNECT host:443" goes to the route's address (the TLS inside still names the host);
//   - "CONNECT host:port" for any other port goes to host:port as asked (pages of a service
//     addressed by its loopback port keep working);
//   - anything else (plain HTTP through the proxy) is answered 502: the routed service
//     speaks HTTPS only, and unrouted plain HTTP has no place in development either.
// With certificate authorities given, the first tunnel to each host first fetches the
// certificate the service presents for that host name, and when one of the authorities
// vouches for it for that host the engine is told to accept it for the host; the engine's
// own checks decide every other certificate. A tunnel that cannot be made (the route cannot
// be reached) is closed without an answer, so the page's load fails at once.
#pragma once

#include <memory>
#include <string>

typedef struct _WebKitWebContext WebKitWebContext;

namespace qm::webkit::helper {

class Router {
public:
    explicit Router(WebKitWebContext* context);
    ~Router();
    Router(const Router&) = delete;
    Router& operator=(const Router&) = delete;

    // Routes to `address` ("host:port") from now on, with the authorities (PEM, may be empty)
    // the service's certificates are checked against; an empty address sends the engine
    // direct again. Setting what is already set changes nothing. False (and *error) when
    // the PEM holds no certificate or the proxy cannot listen; the route is then unchanged.
    bool set(const std::string& address, const std::string& authoritiesPEM, std::string* error);

    // The proxy's port (0 before the first route).
    int port() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace qm::webkit::helper
