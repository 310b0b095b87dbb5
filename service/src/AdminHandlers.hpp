// The admin interface a host developer (or a test) drives the service with: pairing keys,
// identity tokens, authentications to answer, log requests, uploaded archives, the whole state,
// and faults. JSON in and out; the front end admits loopback callers only.
#pragma once

#include "FaultInjector.hpp"
#include "ServiceExchange.hpp"
#include "ServiceKeys.hpp"
#include "ServiceStore.hpp"

#include <functional>
#include <string>

namespace velquor::service {

// Thread-safe: state lives in the store and the fault injector, which guard themselves.
class AdminHandlers {
public:
    // `baseURL` gives the absolute regional base address (ending in "/") for push check links.
    AdminHandlers(ServiceStore& store, const ServiceKeys& serviceKey, FaultInjector& faults,
                  std::function<std::string(Region)> baseURL)
        : store_(store)
        , serviceKey_(serviceKey)
        , faults_(faults)
        , baseURL_(std::move(baseURL)) {}

    // `request.path` is relative to "admin/".
    ServiceReply handle(const ServiceRequest& request);

private:
    ServiceReply createPairingKey(const nlohmann::json& body);
    ServiceReply createIdentityToken(const nlohmann::json& body);
    ServiceReply createAuthentication(const std::string& deviceId, const nlohmann::json& body);
    ServiceReply authenticationState(const std::string& id);
    ServiceReply openLogRequest(const std::string& deviceId, const nlohmann::json& body);
    ServiceReply upload(const std::string& supportId);
    ServiceReply state();
    ServiceReply addFault(const nlohmann::json& body);
    std::string issuePairingKey(Region region, std::string& userId);

    ServiceStore& store_;
    const ServiceKeys& serviceKey_;
    FaultInjector& faults_;
    std::function<std::string(Region)> baseURL_;
};

} // namespace velquor::service
