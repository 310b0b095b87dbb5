// The token a request travels as: the device's claim set with the request's parameters merged
// in, signed RS256 with the device private key once the device is paired (else "alg" "none"
// with an empty signature), with the stored "mobileDeviceID" as "kid" when there is one.
//
//   RequestToken tokens(dataManager, platform.services.keyStore);
//   auto token = tokens.makeRequestToken(substance);
//   if (!token) return handler(std::nullopt, token.error());    // already logged at ERROR
//   request.body = token.value();
//
// Holds only its collaborators; thread-safe. Every call builds a fresh claim set ("jti").
#pragma once

#include "device/DataManager.hpp"
#include "jwt/JSONWebToken.hpp"
#include "remote/Substance.hpp"
#include "state/Keychain.hpp"
#include "util/Result.hpp"

#include <velquor/Platform.hpp>
#include <velquor/Velquor.hpp>

#include <memory>
#include <optional>
#include <string>

namespace velquor::detail {

class RequestToken {
public:
    RequestToken(std::shared_ptr<DataManager> dataManager, std::shared_ptr<KeyStore> keyStore);

    // The body of a request (the request claim set). Failures, code 10000: no claim set 10, no
    // private key 20, building failed 21.
    Result<std::string, Error> makeRequestToken(const Substance& substance) const;
    // The header token of the log upload (the payload claim set). Failures, code 10000: no
    // claim set 45, no private key 43, building failed 42.
    Result<std::string, Error> makeLogUploadToken(const Substance& substance) const;

    // `claims` with every member of `params` added whose name is not already a claim: a claim
    // always wins over a parameter of the same name.
    static Json mergeParameters(Json claims, const std::optional<Json>& params);

    // Builds the compact token for `claims` with `privateKey`: signed when "isPaired" is
    // stored, "kid" from "mobileDeviceID" when stored.
    static Result<std::string, JSONWebToken::BuildError>
    buildToken(const Json& claims, const Keychain& keychain, const std::shared_ptr<const KeyRef>& privateKey);

    // The claims as the log shows them (invalid UTF-8 replaced, never throws).
    static std::string describe(const Json& claims);

private:
    struct Codes {
        std::uint8_t noClaims;
        std::uint8_t noPrivateKey;
        std::uint8_t buildFailed;
        const char* operation;
    };
    Result<std::string, Error> make(const Substance& substance, bool requestClaims, const Codes& codes) const;

    std::shared_ptr<DataManager> dataManager_;
    Keychain keychain_;
};

} // namespace velquor::detail
