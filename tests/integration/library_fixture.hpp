// A test host whose library talks to a local service over loopback TLS.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/QMRuntime.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/network.hpp"
#include "qmplatform/url_session.hpp"
#include "qmservice/local_service.hpp"
#include "quelmar/quelmar.hpp"
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

    // Pumps the main run loop until the started library has the account settings.
    bool waitForSettings(double seconds = 20) {
        return host.runUntil(
            [] {
                auto engine = QMRuntime::shared().qmInternalProcess();
                return engine && engine->fetchBrandSettingsComplete();
            },
            seconds);
    }

    // Pumps the main run loop until the service has seen `count` requests to `endpoint`.
    bool waitForRequests(const std::string& endpoint, std::size_t count, double seconds = 20) {
        return host.runUntil([&] { return service->requestsFor(endpoint).size() >= count; }, seconds);
    }

    TestHost host;
    std::unique_ptr<service::LocalService> service;
};

// Keeps every record the library hands to the host's event callback.
class RecordingDelegate : public quelmarDelegate {
public:
    void quelmarEventsResponseCallback(const Value& v) override { received.push_back(v); }
    // The records with that event name.
    std::vector<Value> named(const std::string& eventName) const {
        std::vector<Value> found;
        for (const auto& record : received)
            if (record["eventName"] == Value(eventName)) found.push_back(record);
        return found;
    }
    std::vector<Value> received;
};

}  // namespace qm::testkit
