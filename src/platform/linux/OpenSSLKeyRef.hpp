// A key store key held as an OpenSSL EVP_PKEY: RSASSA-PKCS1-v1_5 signing over a finished digest
// (the DigestInfo of the algorithm is added here, so the result equals a one-shot
// EVP_DigestSign over the message) and the matching verification.
#pragma once

#include "util/OpenSSLPtr.hpp"

#include <velquor/Platform.hpp>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace velquor::detail {

// The key is immutable after construction; safe from any thread at the same time (the kept
// contexts below are guarded by their own lock).
class OpenSSLKeyRef final : public KeyRef {
public:
    // `key` must be an RSA key, non-null; with `isPrivate` it must hold the private half.
    OpenSSLKeyRef(EVP_PKEY_ptr key, bool isPrivate);

    bool isPrivate() const override { return isPrivate_; }
    std::size_t blockSize() const override;
    // kKeyStoreParameterError for a public key or a digest whose length does not fit the
    // algorithm; kKeyStoreInternalError when OpenSSL fails. `signature` is cleared on failure.
    KeyStoreStatus rawSign(DigestAlgorithm algorithm, const std::vector<std::uint8_t>& digest,
                           std::vector<std::uint8_t>& signature) const override;
    // 0 for a valid signature, kKeyStoreVerifyFailed for one that does not match,
    // kKeyStoreParameterError for a digest of the wrong length.
    KeyStoreStatus rawVerify(DigestAlgorithm algorithm, const std::vector<std::uint8_t>& digest,
                             const std::vector<std::uint8_t>& signature) const override;

private:
    // Making a context set up for this key costs about as much as verifying a signature with
    // it, and every request signs while every reply verifies with the same few keys: one set-up
    // context per use is kept for the next call. A concurrent call makes its own.
    struct KeptContext {
        EVP_PKEY_CTX_ptr context;
        const EVP_MD* md = nullptr;
    };
    EVP_PKEY_CTX_ptr takeContext(const EVP_MD* md, bool forSigning) const;
    void keepContext(EVP_PKEY_CTX_ptr context, const EVP_MD* md, bool forSigning) const;

    EVP_PKEY_ptr key_;
    bool isPrivate_;
    mutable std::mutex keptMutex_;
    mutable KeptContext kept_[2]; // [0] verifying, [1] signing
};

} // namespace velquor::detail
