// A validator that checks a token's signature over its segments exactly as received (never a
// re-serialisation). Subclasses supply canVerify and verify; validateToken is fixed:
//   1. canVerify(token.signatureAlgorithm) false -> algorithmMismatch (nothing else looked at);
//   2. signed bytes = header segment + "." + payload segment;
//   3. signature bytes = Base64URL decoding of the signature segment (badInputData if it fails);
//   4. verify(...) false -> signatureMismatch.
// Only the signature is checked; claims such as "exp" are the caller's.
#pragma once

#include "jwt/JSONWebTokenValidatorType.hpp"
#include "jwt/SignatureAlgorithm.hpp"

#include <cstdint>
#include <span>

namespace velquor::detail {

class SignatureValidator : public JSONWebTokenValidatorType {
public:
    virtual bool canVerify(const SignatureAlgorithm& algorithm) const = 0;
    virtual bool verify(std::span<const std::uint8_t> signedBytes,
                        std::span<const std::uint8_t> signature) const = 0;

    std::optional<SignatureValidatorError> validateToken(const JSONWebToken& token) const final;
};

} // namespace velquor::detail
