// KeyRefs for the signer tests: one over an OpenSSL key whose private half the test also holds
// (the reference helpers live in OpenSSLTestKeys.hpp), and one that answers a chosen status.
#pragma once

#include "OpenSSLTestKeys.hpp"

#include <velquor/Platform.hpp>

#include <openssl/rsa.h>

#include <vector>

namespace velquor::test {

// A KeyRef over an OpenSSL key that the test owns: raw PKCS#1 v1.5 operations over a digest.
class OpenSSLKeyRef : public KeyRef {
public:
    OpenSSLKeyRef(EVP_PKEY* key, bool isPrivateKey)
        : key_(key)
        , private_(isPrivateKey) {
        EVP_PKEY_up_ref(key);
    }
    ~OpenSSLKeyRef() override { EVP_PKEY_free(key_); }

    bool isPrivate() const override { return private_; }
    std::size_t blockSize() const override { return static_cast<std::size_t>(EVP_PKEY_get_size(key_)); }

    KeyStoreStatus rawSign(DigestAlgorithm algorithm, const std::vector<std::uint8_t>& digest,
                           std::vector<std::uint8_t>& signature) const override {
        if (!private_)
            return kKeyStoreIOError;
        detail::EVP_PKEY_CTX_ptr ctx(EVP_PKEY_CTX_new(key_, nullptr));
        size_t length = signature.size();
        if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
            EVP_PKEY_CTX_set_signature_md(ctx.get(), mdFor(algorithm)) != 1 ||
            EVP_PKEY_sign(ctx.get(), signature.data(), &length, digest.data(), digest.size()) != 1) {
            ERR_clear_error();
            return kKeyStoreIOError;
        }
        signature.resize(length);
        return kKeyStoreSuccess;
    }

    KeyStoreStatus rawVerify(DigestAlgorithm algorithm, const std::vector<std::uint8_t>& digest,
                             const std::vector<std::uint8_t>& signature) const override {
        detail::EVP_PKEY_CTX_ptr ctx(EVP_PKEY_CTX_new(key_, nullptr));
        if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
            EVP_PKEY_CTX_set_signature_md(ctx.get(), mdFor(algorithm)) != 1 ||
            EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) !=
                1) {
            ERR_clear_error();
            return -67808; // the platform's "invalid signature"
        }
        return kKeyStoreSuccess;
    }

private:
    EVP_PKEY* key_;
    bool private_;
};

// A key whose every operation answers `status`, as a key store that has lost access would.
class FailingKeyRef : public KeyRef {
public:
    explicit FailingKeyRef(KeyStoreStatus status)
        : status_(status) {}
    bool isPrivate() const override { return true; }
    std::size_t blockSize() const override { return 256; }
    KeyStoreStatus rawSign(DigestAlgorithm, const std::vector<std::uint8_t>&,
                           std::vector<std::uint8_t>&) const override {
        return status_;
    }
    KeyStoreStatus rawVerify(DigestAlgorithm, const std::vector<std::uint8_t>&,
                             const std::vector<std::uint8_t>&) const override {
        return status_;
    }

private:
    KeyStoreStatus status_;
};

} // namespace velquor::test
