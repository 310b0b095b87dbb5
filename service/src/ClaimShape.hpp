// What a correct client's token looks like beyond its signature: the header's "typ", and the two
// claim sets a device builds. The request claim set carries "metadata" (the device data, checked
// member by member against its description) and "fnp"; the payload claim set (log uploads) carries
// "fnp" and at most the unpaired form of "metadata", {"application": {"bundleId"}}. A refusal is
// 400 INVALID_DATA whose first detail's "target" is the offending member ("metadata.os.type").
#pragma once

#include "ServiceError.hpp"
#include "ServiceToken.hpp"

#include <nlohmann/json.hpp>

#include <optional>

namespace velquor::service {

enum class ClaimSet { request, payload };

// Stateless; safe from any thread.
class ClaimShape {
public:
    // "typ" present and exactly "JWT".
    static std::optional<ServiceError> checkHeader(const ServiceToken& token);
    static std::optional<ServiceError> check(const nlohmann::json& claims, ClaimSet expected);
};

} // namespace velquor::service
