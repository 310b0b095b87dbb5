// Checks RS256/RS384/RS512 token signatures with a public key of the key store
// (KeyRef::rawVerify over a digest computed here). Accepts exactly rsassa_PKCS1 with its own
// hash; everything else, "none" included, is algorithmMismatch. Immutable after construction;
// safe to use from several threads at once.
//
//   RSAPKCS1Verifier verifier{SignatureAlgorithm::HashFunction::sha256, RSAKey{serverKey}};
//   if (auto failure = verifier.validateToken(token)) reject(*failure);
#pragma once

#include "jwt/RSAKey.hpp"
#include "jwt/SignatureValidator.hpp"

namespace velquor::detail {

class RSAPKCS1Verifier : public SignatureValidator {
public:
    RSAPKCS1Verifier(SignatureAlgorithm::HashFunction hash, RSAKey key)
        : hashFunction(hash)
        , key(std::move(key)) {}

    SignatureAlgorithm::HashFunction hashFunction;
    RSAKey key;

    bool canVerify(const SignatureAlgorithm& algorithm) const override;
    // False for a null key, a signature of the wrong length, or any status other than success.
    bool verify(std::span<const std::uint8_t> signedBytes,
                std::span<const std::uint8_t> signature) const override;
};

} // namespace velquor::detail
