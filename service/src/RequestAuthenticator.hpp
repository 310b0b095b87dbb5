// Checks a request token that must come from a paired device: RS256 by the key of the device
// that "kid" names (a device of this region), "dvc" equal to that id, "iss" equal to its
// installed application id, an "exp" not yet passed nor too far ahead, a "jti" never seen before,
// and the claim set of its kind.
#pragma once

#include "ClaimShape.hpp"
#include "ServiceError.hpp"
#include "ServiceStore.hpp"
#include "TokenIdLog.hpp"

#include "ServiceKeys.hpp"

#include <nlohmann/json.hpp>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace velquor::service {

struct AuthenticatedRequest {
    DeviceRecord device;
    nlohmann::json claims;
};

// Thread-safe (the store and the token ids serialise their own access; the key cache has its own
// lock).
class RequestAuthenticator {
public:
    RequestAuthenticator(ServiceStore& store, TokenIdLog& tokenIds)
        : store_(store)
        , tokenIds_(tokenIds) {}

    // The device and the verified claims, or the refusal. The "jti" is recorded only when every
    // other check has passed, so a refused token does not burn its id.
    std::variant<AuthenticatedRequest, ServiceError> authenticate(std::string_view compact, Region region,
                                                                  ClaimSet expected);

    // The "exp" and "jti" checks, without recording: an expired or malformed member is 401; one
    // missing is 401 for a paired device's token and 400 INVALID_DATA for a pairing token; an "exp"
    // more than five minutes ahead (a time in milliseconds, say) is 400 INVALID_DATA.
    std::optional<ServiceError> checkFreshness(const nlohmann::json& claims, bool pairing);
    // Records the "jti" of claims that passed checkFreshness(); 401 when it was used before.
    std::optional<ServiceError> recordTokenId(const nlohmann::json& claims);

private:
    // Decoding a key costs about as much as the rest of a request, so each device key is decoded once.
    std::optional<ServiceKeys> deviceKey(const std::string& publicKeyBase64);

    ServiceStore& store_;
    TokenIdLog& tokenIds_;
    std::mutex keysMutex_;
    std::map<std::string, ServiceKeys> keys_;
};

} // namespace velquor::service
