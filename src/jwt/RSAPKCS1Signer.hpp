// RS256/RS384/RS512 signatures (RSASSA-PKCS1-v1_5) for the token builder. The digest is computed
// here; the key store signs it (KeyRef::rawSign), so the private key never leaves the store. The
// result is the standard signature of the input, byte for byte, as long as the key's modulus.
// Immutable after construction; safe to use from several threads at once.
//
//   RSAPKCS1Signer signer{SignatureAlgorithm::HashFunction::sha256, RSAKey{keychain.getKeyRef(tag)}};
//   auto token = JSONWebToken::build(claims, kid, &signer);
#pragma once

#include "jwt/RSAKey.hpp"
#include "jwt/TokenSigner.hpp"
#include "platform/KeyStoreStatuses.hpp"

#include <velquor/Platform.hpp>

namespace velquor::detail {

class RSAPKCS1Signer : public TokenSigner {
public:
    // securityError(status): `status` is the key store's status from rawSign, unchanged. The
    // library's own stores report an OpenSSL failure while signing as kKeyStoreInternalError
    // (-26276) and a refused digest or a public key as kKeyStoreParameterError (-50); a store of
    // the host answers its own codes. A null key gives kNoKeyStatus; a digest that could not be
    // computed kDigestFailedStatus.
    using Error = SignerError;
    static constexpr KeyStoreStatus kNoKeyStatus = kKeyStoreParameterError;
    static constexpr KeyStoreStatus kDigestFailedStatus = kKeyStoreInternalError;

    RSAPKCS1Signer(SignatureAlgorithm::HashFunction hash, RSAKey key)
        : hashFunction(hash)
        , key(std::move(key)) {}

    SignatureAlgorithm::HashFunction hashFunction;
    RSAKey key;

    // Always rsassa_PKCS1(hashFunction).
    SignatureAlgorithm signatureAlgorithm() const override;
    Result<std::vector<std::uint8_t>, SignerError> sign(std::span<const std::uint8_t> input) const override;
};

// The key store's digest selector for a hash function (SHA-256 -> DigestAlgorithm::sha256, ...).
DigestAlgorithm digestAlgorithm(SignatureAlgorithm::HashFunction hash) noexcept;
// 256, 384 or 512: the `bits` argument of digest() for a hash function.
int digestBits(SignatureAlgorithm::HashFunction hash) noexcept;

} // namespace velquor::detail
