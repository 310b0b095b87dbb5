// The JSON Web Signature algorithm names: HS, RS, ES and PS with SHA-256/384/512, and "none".
// The library signs only with rsassa_PKCS1 or not at all; the others exist so that every
// standard name parses. A plain value; safe to copy across threads.
//
//   auto rs256 = SignatureAlgorithm::rsassa_PKCS1(SignatureAlgorithm::HashFunction::sha256);
//   rs256.name();                        // "RS256"
//   SignatureAlgorithm::fromName("none") // SignatureAlgorithm::none()
#pragma once

#include "jwt/JSONWebTokenError.hpp"
#include "util/Result.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace velquor::detail {

class SignatureAlgorithm {
public:
    // Raw values are the digest sizes in bits.
    enum class HashFunction : int { sha256 = 256, sha384 = 384, sha512 = 512 };
    enum class Kind { hmac, rsassa_PKCS1, ecdsa, rsassa_PSS, none };

    // Accepts exactly 256, 384 and 512.
    static std::optional<HashFunction> hashFunctionFromRawValue(int rawValue) noexcept;
    // 0, 1, 2 for sha256, sha384, sha512.
    static int position(HashFunction hash) noexcept;

    static SignatureAlgorithm hmac(HashFunction hash) noexcept { return {Kind::hmac, hash}; }
    static SignatureAlgorithm rsassa_PKCS1(HashFunction hash) noexcept { return {Kind::rsassa_PKCS1, hash}; }
    static SignatureAlgorithm ecdsa(HashFunction hash) noexcept { return {Kind::ecdsa, hash}; }
    static SignatureAlgorithm rsassa_PSS(HashFunction hash) noexcept { return {Kind::rsassa_PSS, hash}; }
    static SignatureAlgorithm none() noexcept { return {Kind::none, HashFunction::sha256}; }

    // "none" in any letter case, or a case-sensitive prefix "HS", "RS", "ES", "PS" followed by
    // exactly "256", "384" or "512". Anything else: invalidSignatureAlgorithm carrying `name`.
    static Result<SignatureAlgorithm, JSONWebTokenError> fromName(std::string_view name);

    Kind kind() const noexcept { return kind_; }
    // Absent for none.
    std::optional<HashFunction> hashFunction() const noexcept;
    // "RS256", "ES512", ..., "none".
    std::string name() const;

    bool operator==(const SignatureAlgorithm& other) const noexcept {
        return kind_ == other.kind_ && (kind_ == Kind::none || hash_ == other.hash_);
    }

private:
    SignatureAlgorithm(Kind kind, HashFunction hash) noexcept
        : kind_(kind)
        , hash_(hash) {}

    Kind kind_;
    HashFunction hash_;
};

} // namespace velquor::detail
