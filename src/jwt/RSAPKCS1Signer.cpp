#include "jwt/RSAPKCS1Signer.hpp"

#include "jwt/Digest.hpp"

namespace velquor::detail {

DigestAlgorithm digestAlgorithm(SignatureAlgorithm::HashFunction hash) noexcept {
    switch (hash) {
    case SignatureAlgorithm::HashFunction::sha256:
        return DigestAlgorithm::sha256;
    case SignatureAlgorithm::HashFunction::sha384:
        return DigestAlgorithm::sha384;
    case SignatureAlgorithm::HashFunction::sha512:
        return DigestAlgorithm::sha512;
    }
    return DigestAlgorithm::sha256;
}

int digestBits(SignatureAlgorithm::HashFunction hash) noexcept {
    return 256 + 128 * SignatureAlgorithm::position(hash);
}

SignatureAlgorithm RSAPKCS1Signer::signatureAlgorithm() const {
    return SignatureAlgorithm::rsassa_PKCS1(hashFunction);
}

Result<std::vector<std::uint8_t>, SignerError>
RSAPKCS1Signer::sign(std::span<const std::uint8_t> input) const {
    if (!key.value)
        return SignerError{SignerError::Kind::securityError, kNoKeyStatus};
    const std::vector<std::uint8_t> hashed = digest(digestBits(hashFunction), input);
    if (hashed.empty())
        return SignerError{SignerError::Kind::securityError, kDigestFailedStatus};

    const std::size_t blockSize = key.value->blockSize();
    std::vector<std::uint8_t> signature(blockSize, 0);
    const KeyStoreStatus status = key.value->rawSign(digestAlgorithm(hashFunction), hashed, signature);
    // Not logged here: whoever turns the failure into an error value logs that.
    if (status != kKeyStoreSuccess)
        return SignerError{SignerError::Kind::securityError, status};
    // The store sets the length it wrote; never more than the modulus.
    if (signature.size() > blockSize)
        signature.resize(blockSize);
    return signature;
}

} // namespace velquor::detail
