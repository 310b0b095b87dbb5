#include "RequestAuthenticator.hpp"

#include "ServiceClock.hpp"
#include "ServiceKeys.hpp"
#include "ServiceToken.hpp"

namespace velquor::service {
namespace {

std::optional<std::string> textClaim(const nlohmann::json& claims, const char* name) {
    const auto it = claims.find(name);
    if (it == claims.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

} // namespace

std::variant<AuthenticatedRequest, ServiceError>
RequestAuthenticator::authenticate(std::string_view compact, Region region, ClaimSet expected) {
    std::string problem;
    auto token = ServiceToken::parse(compact, problem);
    if (!token)
        return ServiceError::invalidData("token", "MALFORMED_TOKEN",
                                         "The request token is malformed: " + problem + ".");
    if (auto refused = ClaimShape::checkHeader(*token))
        return *refused;
    if (token->algorithm() != "RS256")
        return ServiceError::unauthorized("alg", "SIGNATURE_REQUIRED",
                                          "The request must be signed RS256 by the device key (alg was \"" +
                                              token->algorithm() + "\").");
    const auto kid = token->keyId();
    if (!kid || kid->empty())
        return ServiceError::unauthorized("kid", "KEY_ID_MISSING",
                                          "The token header names no device in \"kid\".");
    auto device = store_.device(*kid);
    if (!device || device->region != regionCode(region))
        return ServiceError::unauthorized("kid", "UNKNOWN_DEVICE",
                                          "No device " + *kid + " is paired in region " + regionCode(region) +
                                              ".");
    const auto key = deviceKey(device->publicKey);
    if (!key || !token->isSignedBy(*key))
        return ServiceError::unauthorized("signature", "SIGNATURE_INVALID",
                                          "The signature does not verify with the key of device " + *kid +
                                              ".");
    const auto& claims = token->claims();
    if (textClaim(claims, "dvc") != *kid)
        return ServiceError::unauthorized("dvc", "DEVICE_MISMATCH",
                                          "\"dvc\" must equal the \"kid\" of the header.");
    if (textClaim(claims, "iss") != device->installedApplicationId)
        return ServiceError::unauthorized("iss", "ISSUER_MISMATCH",
                                          "\"iss\" must be the installed application id of the device.");
    if (auto stale = checkFreshness(claims, false))
        return *stale;
    if (auto refused = ClaimShape::check(claims, expected))
        return *refused;
    if (auto replayed = recordTokenId(claims))
        return *replayed;
    return AuthenticatedRequest{std::move(*device), std::move(*token).claims()};
}

std::optional<ServiceKeys> RequestAuthenticator::deviceKey(const std::string& publicKeyBase64) {
    constexpr size_t mostKeys = 4096;
    std::lock_guard lock(keysMutex_);
    if (const auto it = keys_.find(publicKeyBase64); it != keys_.end())
        return it->second;
    std::string problem;
    auto key = ServiceKeys::fromPublicBase64(publicKeyBase64, problem);
    if (key) {
        if (keys_.size() >= mostKeys)
            keys_.clear();
        keys_.emplace(publicKeyBase64, *key);
    }
    return key;
}

std::optional<ServiceError> RequestAuthenticator::checkFreshness(const nlohmann::json& claims, bool pairing) {
    constexpr int64_t furthestAhead = 5 * 60;
    const auto missing = [pairing](const char* member, const char* code, const char* message) {
        return pairing ? ServiceError::invalidData(member, code, message)
                       : ServiceError::unauthorized(member, code, message);
    };
    const int64_t now = nowSeconds();
    const auto exp = claims.find("exp");
    if (exp == claims.end())
        return missing("exp", "EXPIRATION_MISSING", "The request token has no \"exp\".");
    if (!exp->is_number_integer() || (exp->is_number_unsigned() && exp->get<uint64_t>() > INT64_MAX))
        return ServiceError::unauthorized("exp", "EXPIRATION_INVALID", "\"exp\" must be an integer.");
    const int64_t expiresAt = exp->get<int64_t>();
    if (expiresAt <= now)
        return ServiceError::unauthorized("exp", "TOKEN_EXPIRED", "The request token has expired.");
    if (expiresAt > now + furthestAhead)
        return ServiceError::invalidData(
            "exp", "EXPIRATION_TOO_FAR",
            "\"exp\" is more than five minutes ahead; it is in seconds since 1970.");
    const auto jti = claims.find("jti");
    if (jti == claims.end())
        return missing("jti", "TOKEN_ID_MISSING", "The request token has no \"jti\".");
    if (!jti->is_string() || jti->get_ref<const std::string&>().empty())
        return ServiceError::unauthorized("jti", "TOKEN_ID_INVALID", "\"jti\" must be a non-empty text.");
    return std::nullopt;
}

std::optional<ServiceError> RequestAuthenticator::recordTokenId(const nlohmann::json& claims) {
    if (!tokenIds_.record(claims.at("jti").get_ref<const std::string&>(), claims.at("exp").get<int64_t>(),
                          nowSeconds()))
        return ServiceError::unauthorized("jti", "TOKEN_REPLAYED", "This request token was already used.");
    return std::nullopt;
}

} // namespace velquor::service
