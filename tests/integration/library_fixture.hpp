// A test host whose library talks to a local service over loopback TLS.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "qmplatform/network.hpp"
#include "qmplatform/url_session.hpp"
#include "qmservice/local_service.hpp"
#include "test_host.hpp"

namespace qm::testkit {

class ServiceHost {
public:
    explicit ServiceHost(TestHost::Options options = {}) : host(std::move(options)) {
        service::LocalService::Options serviceOptions;
        serviceOptions.stateDir = host.root() + "/service";
        service = std::make_unique<service::LocalService>(serviceOptions);
        if (!service->start()) ADD_FAILURE() << "local service did not start: " << service->lastError();
        platform::URLSession::setConnectTo(service->address());
        platform::URLSession::setCAFile(service->caFile());
        platform::NetworkReachability::setRouteOverride(service->address());
    }
    ~ServiceHost() {
        service->stop();
        platform::URLSession::setConnectTo(host.unroutedAddress());
        platform::URLSession::setCAFile(std::nullopt);
    }

    // Pumps the main run loop until the service has seen `count` requests to `endpoint`.
    bool waitForRequests(const std::string& endpoint, std::size_t count, double seconds = 20) {
        return host.runUntil([&] { return service->requestsFor(endpoint).size() >= count; }, seconds);
    }

    TestHost host;
    std::unique_ptr<service::LocalService> service;
};

}  // namespace qm::testkit
