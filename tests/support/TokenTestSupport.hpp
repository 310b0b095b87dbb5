// Reading back what a token step produced: the header and claims of a compact token, and
// whether its signature verifies with the device public key as the key store exports it.
#pragma once

#include "jwt/JSONWebToken.hpp"
#include "jwt/RSAPKCS1Verifier.hpp"
#include "state/Keychain.hpp"
#include "util/Base64URL.hpp"

#include <gtest/gtest.h>

#include <string>

namespace velquor::test {

struct DecodedToken {
    Json header;
    Json claims;
    detail::JSONWebToken token; // its signature segment included
};

inline std::optional<DecodedToken> decode(const std::string& compact) {
    auto parsed = detail::JSONWebToken::parse(compact);
    if (!parsed) {
        ADD_FAILURE() << "not a token: " << compact << " " << parsed.error().description();
        return std::nullopt;
    }
    auto header = detail::base64URLDecoded(parsed->base64Parts.header);
    return DecodedToken{Json::parse(header->begin(), header->end()), parsed->payload.jsonPayload,
                        parsed.value()};
}

// True when the token's RS256 signature verifies with the exported device public key.
inline bool verifiesWithDevicePublicKey(const detail::JSONWebToken& token, const detail::Keychain& keychain) {
    std::optional<std::string> exported = keychain.getDevicePublicKeyString();
    if (!exported)
        return false;
    auto publicKey = keychain.makePublicKey(*exported);
    detail::RSAPKCS1Verifier verifier(detail::SignatureAlgorithm::HashFunction::sha256,
                                      detail::RSAKey{publicKey});
    return publicKey && !verifier.validateToken(token);
}

inline int internalCode(const Error& error) {
    return error.userInfo().at("internalErrorCode").get<int>() - 20000;
}

} // namespace velquor::test
