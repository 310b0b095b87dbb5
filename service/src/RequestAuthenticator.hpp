// Checks a request token that must come from a paired device: RS256 by the key of the device
// that "kid" names (a device of this region), "dvc" equal to that id, "iss" equal to its
// installed application id, an "exp" not yet passed and a "jti" never seen before.
#pragma once

#include "ServiceError.hpp"
#include "ServiceStore.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace velquor::service {

struct AuthenticatedRequest {
    DeviceRecord device;
    nlohmann::json claims;
};

// Thread-safe (the store serialises its own access; nothing else is shared).
class RequestAuthenticator {
public:
    explicit RequestAuthenticator(ServiceStore& store)
        : store_(store) {}

    // The device and the verified claims, or the refusal. The "jti" is recorded only when every
    // other check has passed, so a refused token does not burn its id.
    std::variant<AuthenticatedRequest, ServiceError> authenticate(std::string_view compact, Region region);

    // The "exp" and "jti" checks alone, for tokens verified by other means (pairing requests carry
    // their own key). Absent members are accepted only when `required` is false.
    std::optional<ServiceError> checkFreshness(const nlohmann::json& claims, bool required);

private:
    ServiceStore& store_;
};

} // namespace velquor::service
