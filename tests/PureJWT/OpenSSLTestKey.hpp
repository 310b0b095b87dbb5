// Test-side RSA keys held directly in OpenSSL: the reference the library's signer must match
// byte for byte (EVP_DigestSign), and a KeyRef over such a key so the signer can be fed a key
// whose private half the test also holds. Also a KeyRef that answers a chosen status.
#pragma once

#include "util/OpenSSLPtr.hpp"

#include <velquor/Platform.hpp>

#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace velquor::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

inline detail::EVP_PKEY_ptr generateRSAKey(unsigned bits = 2048) {
    detail::EVP_PKEY_ptr key(EVP_RSA_gen(bits));
    if (!key)
        throw std::runtime_error("EVP_RSA_gen failed: " + detail::drainOpenSSLErrors());
    return key;
}

inline const EVP_MD* mdFor(DigestAlgorithm algorithm) {
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

// The standard RSASSA-PKCS1-v1_5 signature of `message`, computed by OpenSSL end to end.
inline Bytes referenceSign(EVP_PKEY* key, const EVP_MD* md, const Bytes& message) {
    detail::EVP_MD_CTX_ptr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    size_t length = 0;
    if (EVP_DigestSignInit(ctx.get(), &pctx, md, nullptr, key) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, message.data(), message.size()) != 1)
        throw std::runtime_error("EVP_DigestSign failed");
    Bytes signature(length);
    if (EVP_DigestSign(ctx.get(), signature.data(), &length, message.data(), message.size()) != 1)
        throw std::runtime_error("EVP_DigestSign failed");
    signature.resize(length);
    return signature;
}

inline bool referenceVerify(EVP_PKEY* key, const EVP_MD* md, const Bytes& message, const Bytes& signature) {
    detail::EVP_MD_CTX_ptr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (EVP_DigestVerifyInit(ctx.get(), &pctx, md, nullptr, key) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1)
        return false;
    const bool ok =
        EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
    ERR_clear_error();
    return ok;
}

// PKCS#1 RSAPublicKey DER of a key.
inline Bytes pkcs1PublicKey(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int length = i2d_PublicKey(key, &der);
    if (length <= 0)
        throw std::runtime_error("i2d_PublicKey failed");
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

// X.509 SubjectPublicKeyInfo DER of a key.
inline Bytes subjectPublicKeyInfo(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    if (length <= 0)
        throw std::runtime_error("i2d_PUBKEY failed");
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

inline detail::EVP_PKEY_ptr publicKeyFromPKCS1(const Bytes& der) {
    const unsigned char* p = der.data();
    return detail::EVP_PKEY_ptr(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size())));
}

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
