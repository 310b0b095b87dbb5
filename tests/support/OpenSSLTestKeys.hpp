// Test-side RSA helpers held directly in OpenSSL: independent key generation, digests, signing and
// verification the library's own key handling is checked against, DER encodings of public keys,
// hand-made ones included.
#pragma once

#include "platform/linux/OpenSSLKeyRef.hpp"
#include "platform/linux/RSAKeyCodec.hpp"

#include <openssl/rsa.h>

#include <stdexcept>

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
    const EVP_MD* digests[] = {EVP_sha1(), EVP_sha256(), EVP_sha384(), EVP_sha512()};
    return digests[static_cast<int>(algorithm)];
}

inline Bytes digestOf(DigestAlgorithm algorithm, const std::string& message) {
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(message.data(), message.size(), digest.data(), &length, mdFor(algorithm), nullptr);
    digest.resize(length);
    return digest;
}

// The standard RSASSA-PKCS1-v1_5 signature of `message` (OpenSSL's default RSA padding), computed by
// OpenSSL end to end.
inline Bytes referenceSign(EVP_PKEY* key, const EVP_MD* md, const Bytes& message) {
    detail::EVP_MD_CTX_ptr ctx(EVP_MD_CTX_new());
    Bytes signature(static_cast<std::size_t>(EVP_PKEY_get_size(key)));
    std::size_t length = signature.size();
    if (EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &length, message.data(), message.size()) != 1)
        throw std::runtime_error("EVP_DigestSign failed");
    return signature;
}

inline bool referenceVerify(EVP_PKEY* key, const EVP_MD* md, const Bytes& message, const Bytes& signature) {
    detail::EVP_MD_CTX_ptr ctx(EVP_MD_CTX_new());
    const bool ok =
        EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1 &&
        EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
    ERR_clear_error();
    return ok;
}

// DER of a key by one of OpenSSL's i2d functions.
template <int (*encode)(const EVP_PKEY*, unsigned char**)> Bytes derOf(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int length = encode(key, &der);
    if (length <= 0)
        throw std::runtime_error("DER encoding failed");
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}
// PKCS#1 RSAPublicKey and X.509 SubjectPublicKeyInfo DER of a key.
inline Bytes pkcs1PublicKey(EVP_PKEY* key) {
    return derOf<i2d_PublicKey>(key);
}
inline Bytes subjectPublicKeyInfo(EVP_PKEY* key) {
    return derOf<i2d_PUBKEY>(key);
}

inline detail::EVP_PKEY_ptr publicKeyFromPKCS1(const Bytes& der) {
    const unsigned char* p = der.data();
    return detail::EVP_PKEY_ptr(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size())));
}

// The library's key reference over a key the test also holds (OpenSSLKeyRef itself is checked
// against OpenSSL's one-shot signing in its own test).
inline std::shared_ptr<const KeyRef> keyRef(EVP_PKEY* key, bool isPrivate) {
    EVP_PKEY_up_ref(key);
    return std::make_shared<detail::OpenSSLKeyRef>(detail::EVP_PKEY_ptr(key), isPrivate);
}

// PKCS#1 DER of a fresh public key (the private half is thrown away).
inline Bytes freshPublicKey(unsigned bits = 1024) {
    return pkcs1PublicKey(generateRSAKey(bits).get());
}

// DER of a PKCS#1 RSAPublicKey with the given big-endian modulus and exponent (both below 128
// bytes of content, no leading zero needed for the exponent).
inline std::vector<std::uint8_t> pkcs1Of(std::vector<std::uint8_t> modulus,
                                         std::vector<std::uint8_t> exponent) {
    auto element = [](std::uint8_t tag, const std::vector<std::uint8_t>& content) {
        std::vector<std::uint8_t> out{tag};
        if (content.size() > 127)
            out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(content.size()));
        out.insert(out.end(), content.begin(), content.end());
        return out;
    };
    auto integer = [&](std::vector<std::uint8_t> value) {
        if (value.front() & 0x80)
            value.insert(value.begin(), 0x00);
        return element(0x02, value);
    };
    auto body = integer(std::move(modulus));
    const auto e = integer(std::move(exponent));
    body.insert(body.end(), e.begin(), e.end());
    return element(0x30, body);
}

// A modulus of `bytes` bytes, top bit set, ending in `last`.
inline std::vector<std::uint8_t> modulusOf(std::size_t bytes, std::uint8_t last) {
    std::vector<std::uint8_t> modulus(bytes, 0x5B);
    modulus.front() = 0xC1;
    modulus.back() = last;
    return modulus;
}

// Independent check of `signature` over `message` with a PKCS#1 public key.
inline bool digestVerify(const Bytes& pkcs1, DigestAlgorithm algorithm, const std::string& message,
                         const Bytes& signature) {
    auto key = publicKeyFromPKCS1(pkcs1);
    return key && referenceVerify(key.get(), mdFor(algorithm), bytesOf(message), signature);
}

} // namespace velquor::test
