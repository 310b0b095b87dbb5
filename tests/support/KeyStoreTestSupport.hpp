// Helpers shared by the key store tests: independent public keys and hand-made PKCS#1 encodings.
#pragma once

#include "platform/linux/RSAKeyCodec.hpp"

#include "OpenSSLTestKeys.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace velquor::test {

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

// Independent check of `signature` over `message` with a PKCS#1 public key.
inline bool digestVerify(const Bytes& pkcs1, DigestAlgorithm algorithm, const std::string& message,
                         const Bytes& signature) {
    auto key = publicKeyFromPKCS1(pkcs1);
    return key && referenceVerify(key.get(), mdFor(algorithm), bytesOf(message), signature);
}

} // namespace velquor::test
