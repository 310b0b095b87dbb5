#include "platform/linux/OpenSSLKeyRef.hpp"

#include "platform/KeyStoreStatuses.hpp"

#include <openssl/rsa.h>

namespace velquor::detail {

namespace {

const EVP_MD* digestFor(DigestAlgorithm algorithm) {
    switch (algorithm) {
    case DigestAlgorithm::sha1:
        return EVP_sha1();
    case DigestAlgorithm::sha256:
        return EVP_sha256();
    case DigestAlgorithm::sha384:
        return EVP_sha384();
    case DigestAlgorithm::sha512:
        return EVP_sha512();
    }
    return nullptr;
}

// A context for `key` set to PKCS#1 v1.5 padding with the DigestInfo of `md`.
EVP_PKEY_CTX_ptr makeContext(EVP_PKEY* key, const EVP_MD* md, bool forSigning) {
    EVP_PKEY_CTX_ptr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!context)
        return nullptr;
    const int init = forSigning ? EVP_PKEY_sign_init(context.get()) : EVP_PKEY_verify_init(context.get());
    if (init <= 0 || EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_signature_md(context.get(), md) <= 0)
        return nullptr;
    return context;
}

bool digestFits(const EVP_MD* md, const std::vector<std::uint8_t>& digest) {
    return md != nullptr && static_cast<int>(digest.size()) == EVP_MD_get_size(md);
}

} // namespace

OpenSSLKeyRef::OpenSSLKeyRef(EVP_PKEY_ptr key, bool isPrivate)
    : key_(std::move(key))
    , isPrivate_(isPrivate) {}

EVP_PKEY_CTX_ptr OpenSSLKeyRef::takeContext(const EVP_MD* md, bool forSigning) const {
    {
        std::lock_guard lock(keptMutex_);
        KeptContext& kept = kept_[forSigning ? 1 : 0];
        if (kept.context && kept.md == md)
            return std::move(kept.context);
    }
    return makeContext(key_.get(), md, forSigning);
}

void OpenSSLKeyRef::keepContext(EVP_PKEY_CTX_ptr context, const EVP_MD* md, bool forSigning) const {
    std::lock_guard lock(keptMutex_);
    kept_[forSigning ? 1 : 0] = KeptContext{std::move(context), md};
}

std::size_t OpenSSLKeyRef::blockSize() const {
    const int size = key_ ? EVP_PKEY_get_size(key_.get()) : 0;
    return size > 0 ? static_cast<std::size_t>(size) : 0;
}

KeyStoreStatus OpenSSLKeyRef::rawSign(DigestAlgorithm algorithm, const std::vector<std::uint8_t>& digest,
                                      std::vector<std::uint8_t>& signature) const {
    signature.clear();
    const EVP_MD* md = digestFor(algorithm);
    if (!isPrivate_ || !key_ || !digestFits(md, digest))
        return kKeyStoreParameterError;
    auto context = takeContext(md, true);
    std::size_t length = 0;
    if (!context || EVP_PKEY_sign(context.get(), nullptr, &length, digest.data(), digest.size()) <= 0) {
        drainOpenSSLErrors();
        return kKeyStoreInternalError;
    }
    signature.resize(length);
    if (EVP_PKEY_sign(context.get(), signature.data(), &length, digest.data(), digest.size()) <= 0) {
        drainOpenSSLErrors();
        signature.clear();
        return kKeyStoreInternalError; // the context is not kept after a failure
    }
    signature.resize(length);
    keepContext(std::move(context), md, true);
    return kKeyStoreSuccess;
}

KeyStoreStatus OpenSSLKeyRef::rawVerify(DigestAlgorithm algorithm, const std::vector<std::uint8_t>& digest,
                                        const std::vector<std::uint8_t>& signature) const {
    const EVP_MD* md = digestFor(algorithm);
    if (!key_ || !digestFits(md, digest))
        return kKeyStoreParameterError;
    auto context = takeContext(md, false);
    if (!context) {
        drainOpenSSLErrors();
        return kKeyStoreInternalError;
    }
    const int verdict =
        EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(), digest.size());
    drainOpenSSLErrors(); // a mismatch leaves an entry behind
    // A mismatch leaves the context as usable as a match; an internal failure (below 0) does not.
    if (verdict >= 0)
        keepContext(std::move(context), md, false);
    return verdict == 1 ? kKeyStoreSuccess : kKeyStoreVerifyFailed;
}

} // namespace velquor::detail
