#include "jwt/RSAPKCS1Verifier.hpp"

#include "jwt/Digest.hpp"
#include "jwt/RSAPKCS1Signer.hpp"

namespace velquor::detail {

bool RSAPKCS1Verifier::canVerify(const SignatureAlgorithm& algorithm) const {
    return algorithm == SignatureAlgorithm::rsassa_PKCS1(hashFunction);
}

bool RSAPKCS1Verifier::verify(std::span<const std::uint8_t> signedBytes,
                              std::span<const std::uint8_t> signature) const {
    if (!key.value)
        return false;
    const std::vector<std::uint8_t> hashed = digest(digestBits(hashFunction), signedBytes);
    if (hashed.empty())
        return false;
    const std::vector<std::uint8_t> signatureBytes(signature.begin(), signature.end());
    return key.value->rawVerify(digestAlgorithm(hashFunction), hashed, signatureBytes) == kKeyStoreSuccess;
}

} // namespace velquor::detail
