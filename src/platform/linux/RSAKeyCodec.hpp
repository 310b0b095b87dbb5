// RSA keys between OpenSSL and their stored forms: PKCS#1 RSAPublicKey DER for public keys,
// PKCS#8 PrivateKeyInfo DER for private keys. OpenSSL 3 EVP interfaces only.
#pragma once

#include "util/OpenSSLPtr.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velquor::detail {

// Stateless; safe from any thread. Failures return null or false, never throw; OpenSSL's error
// queue of the calling thread is left empty.
class RSAKeyCodec {
public:
    static constexpr int kMinimumBits = 1024;
    static constexpr int kMaximumBits = 16384;

    // A fresh key pair; null when `bits` is outside [kMinimumBits, kMaximumBits] or OpenSSL failed.
    static EVP_PKEY_ptr generate(int bits);

    // Public keys accepted from outside may be smaller than generated ones (the service's key).
    static constexpr int kMinimumPublicBits = 512;

    // Accepts only canonical DER of a PKCS#1 RSAPublicKey: no trailing bytes, no
    // SubjectPublicKeyInfo wrapper, no other key type; an odd modulus of at least
    // kMinimumPublicBits and an odd public exponent above 1 and below the modulus.
    static EVP_PKEY_ptr parsePublicPkcs1(const std::uint8_t* bytes, std::size_t size);
    static EVP_PKEY_ptr parsePrivatePkcs8(const std::uint8_t* bytes, std::size_t size);

    static bool encodePublicPkcs1(const EVP_PKEY* key, std::vector<std::uint8_t>& der);
    // The caller wipes `der` (OPENSSL_cleanse) when done with it.
    static bool encodePrivatePkcs8(const EVP_PKEY* key, std::vector<std::uint8_t>& der);
};

} // namespace velquor::detail
