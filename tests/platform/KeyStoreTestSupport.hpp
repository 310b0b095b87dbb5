// Helpers shared by the key store tests: byte conversions, digests and an independent RSA key.
#pragma once

#include "platform/linux/RSAKeyCodec.hpp"
#include "util/OpenSSLPtr.hpp"

#include <velquor/Platform.hpp>

#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velquor::test {

inline std::vector<std::uint8_t> bytes(const std::string& text) {
    return {text.begin(), text.end()};
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

inline std::vector<std::uint8_t> digestOf(DigestAlgorithm algorithm, const std::string& message) {
    std::vector<std::uint8_t> digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(message.data(), message.size(), digest.data(), &length, mdFor(algorithm), nullptr);
    digest.resize(length);
    return digest;
}

// PKCS#1 DER of a fresh public key (the private half is thrown away).
inline std::vector<std::uint8_t> freshPublicKey(int bits = 1024) {
    auto key = detail::RSAKeyCodec::generate(bits);
    std::vector<std::uint8_t> der;
    detail::RSAKeyCodec::encodePublicPkcs1(key.get(), der);
    return der;
}

// DER of a PKCS#1 RSAPublicKey with the given big-endian modulus and exponent (both below 128
// bytes of content, no leading zero needed for the exponent).
inline std::vector<std::uint8_t> pkcs1Of(std::vector<std::uint8_t> modulus,
                                         std::vector<std::uint8_t> exponent) {
    auto integer = [](std::vector<std::uint8_t> value) {
        if (value.front() & 0x80)
            value.insert(value.begin(), 0x00);
        std::vector<std::uint8_t> out{0x02};
        if (value.size() > 127)
            out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(value.size()));
        out.insert(out.end(), value.begin(), value.end());
        return out;
    };
    auto body = integer(std::move(modulus));
    auto e = integer(std::move(exponent));
    body.insert(body.end(), e.begin(), e.end());
    std::vector<std::uint8_t> out{0x30};
    if (body.size() > 127)
        out.push_back(0x81);
    out.push_back(static_cast<std::uint8_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// A modulus of `bytes` bytes, top bit set, ending in `last`.
inline std::vector<std::uint8_t> modulusOf(std::size_t bytes, std::uint8_t last) {
    std::vector<std::uint8_t> modulus(bytes, 0x5B);
    modulus.front() = 0xC1;
    modulus.back() = last;
    return modulus;
}

// EVP_DigestVerify of `signature` over `message` with a PKCS#1 public key: the independent check.
inline bool digestVerify(const std::vector<std::uint8_t>& pkcs1, DigestAlgorithm algorithm,
                         const std::string& message, const std::vector<std::uint8_t>& signature) {
    const unsigned char* cursor = pkcs1.data();
    detail::EVP_PKEY_ptr key(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(pkcs1.size())));
    detail::EVP_MD_CTX_ptr context(EVP_MD_CTX_new());
    if (!key || !context ||
        EVP_DigestVerifyInit(context.get(), nullptr, mdFor(algorithm), nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

} // namespace velquor::test
