// Compact JSON Web Tokens as the service reads and writes them. Reading checks structure only;
// signatures are checked by the caller with the key it chose, never the one the token names.
#pragma once

#include "ServiceKeys.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace velquor::service {

// A parsed token: an immutable value, safe to share between threads.
class ServiceToken {
public:
    // Parses "header.payload.signature". Refused (nullopt, `error` says why): not exactly three
    // segments, a segment that is not canonical Base64url, a header or payload that is not a JSON
    // object (or nests deeper than BoundedJson allows), a header without a text "alg". "typ" is
    // the caller's to judge.
    static std::optional<ServiceToken> parse(std::string_view compact, std::string& error);

    // The compact form of `claims` signed RS256 with `key`; nullopt when signing fails.
    static std::optional<std::string> signRS256(const nlohmann::json& claims, const ServiceKeys& key);
    // The compact form of `claims` with "alg" "none" and an empty signature segment.
    static std::string unsignedToken(const nlohmann::json& claims);

    const nlohmann::json& header() const { return header_; }
    const nlohmann::json& claims() const& { return claims_; }
    // Moves the claims out of a token no longer needed, sparing a copy of the whole tree.
    nlohmann::json claims() && { return std::move(claims_); }
    const std::string& algorithm() const { return algorithm_; }
    // The header's "kid" when it is text.
    std::optional<std::string> keyId() const;
    bool hasEmptySignature() const { return signature_.empty(); }

    // True only for an "alg" of exactly RS256 and a signature over the segments as received
    // that verifies with `key`.
    bool isSignedBy(const ServiceKeys& key) const;

private:
    ServiceToken() = default;

    nlohmann::json header_;
    nlohmann::json claims_;
    std::string algorithm_;
    std::string signingInput_;
    std::string signature_;
};

} // namespace velquor::service
