// The service's side of every request kind a device sends: "pairings", "finalize",
// "updatePushToken", "deviceInfo", "validatePush" and "logs". Each handler checks what the client
// must get right (content type, Accept, token, claims) and answers a reply for the front end to
// sign, or the refusal that names what was wrong.
#pragma once

#include "RequestAuthenticator.hpp"
#include "ServiceExchange.hpp"
#include "ServiceKeys.hpp"
#include "ServiceStore.hpp"

namespace velquor::service {

// Thread-safe: handlers run concurrently on the server's request threads; all state is in the
// store and the token ids, which serialise their own access.
class ProtocolHandlers {
public:
    // `maxUploadBytes` bounds the archives stored in total.
    ProtocolHandlers(ServiceStore& store, TokenIdLog& tokenIds, const ServiceKeys& serviceKey,
                     uint64_t maxUploadBytes)
        : store_(store)
        , serviceKey_(serviceKey)
        , authenticator_(store, tokenIds)
        , maxUploadBytes_(maxUploadBytes) {}

    // Whether `path` (relative to a region's base address) names a request kind.
    static bool isProtocolPath(const std::string& path);

    // `request.region` is set and `request.path` is relative to the region's base address.
    ServiceReply handle(const ServiceRequest& request);

private:
    ServiceReply pairing(const ServiceRequest& request);
    ServiceReply finalize(const AuthenticatedRequest& caller, const std::string& pairingId);
    ServiceReply updatePushToken(const AuthenticatedRequest& caller,
                                 const std::string& installedApplicationId);
    ServiceReply deviceInfo(const AuthenticatedRequest& caller);
    ServiceReply validatePush(const ServiceRequest& request, const AuthenticatedRequest& caller);
    ServiceReply logs(const ServiceRequest& request);

    ServiceStore& store_;
    const ServiceKeys& serviceKey_;
    RequestAuthenticator authenticator_;
    uint64_t maxUploadBytes_;
};

} // namespace velquor::service
