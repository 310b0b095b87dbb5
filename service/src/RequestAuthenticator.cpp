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

std::variant<AuthenticatedRequest, ServiceError> RequestAuthenticator::authenticate(std::string_view compact,
                                                                                    Region region) {
    std::string problem;
    const auto token = ServiceToken::parse(compact, problem);
    if (!token)
        return ServiceError::invalidData("token", "MALFORMED_TOKEN",
                                         "The request token is malformed: " + problem + ".");
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
    const auto key = ServiceKeys::fromPublicBase64(device->publicKey, problem);
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
    if (auto stale = checkFreshness(claims, true))
        return *stale;
    return AuthenticatedRequest{std::move(*device), claims};
}

std::optional<ServiceError> RequestAuthenticator::checkFreshness(const nlohmann::json& claims,
                                                                 bool required) {
    const int64_t now = nowSeconds();
    const auto exp = claims.find("exp");
    int64_t expiresAt = now + 24 * 60 * 60;
    if (exp != claims.end()) {
        if (!exp->is_number_integer() || (exp->is_number_unsigned() && exp->get<uint64_t>() > INT64_MAX))
            return ServiceError::unauthorized("exp", "EXPIRATION_INVALID", "\"exp\" must be an integer.");
        expiresAt = exp->get<int64_t>();
        if (expiresAt <= now)
            return ServiceError::unauthorized("exp", "TOKEN_EXPIRED", "The request token has expired.");
    } else if (required) {
        return ServiceError::unauthorized("exp", "EXPIRATION_MISSING", "The request token has no \"exp\".");
    }
    const auto jti = claims.find("jti");
    if (jti != claims.end()) {
        if (!jti->is_string() || jti->get<std::string>().empty())
            return ServiceError::unauthorized("jti", "TOKEN_ID_INVALID", "\"jti\" must be a non-empty text.");
        if (!store_.recordTokenId(jti->get<std::string>(), expiresAt, now))
            return ServiceError::unauthorized("jti", "TOKEN_REPLAYED",
                                              "This request token was already used.");
    } else if (required) {
        return ServiceError::unauthorized("jti", "TOKEN_ID_MISSING", "The request token has no \"jti\".");
    }
    return std::nullopt;
}

} // namespace velquor::service
