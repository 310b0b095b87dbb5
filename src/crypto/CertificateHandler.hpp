// Converts RSA public keys between the key store's PKCS#1 form (RSAPublicKey) and the service's
// X.509 SubjectPublicKeyInfo form, with a minimal DER writer and a tolerant DER reader. Nothing
// here fails: input that is not recognised comes back unchanged, and no byte past the end of the
// input is ever read. Stateless; safe from any thread.
//
//   auto spki = CertificateHandler::addPublicKeyHeader(pkcs1);   // 270 bytes -> 294 bytes
//   auto back = CertificateHandler::stripPublicKeyHeader(spki);  // == pkcs1
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velquor::detail {

class CertificateHandler {
public:
    // SEQUENCE { rsaEncryption AlgorithmIdentifier, BIT STRING { 0 unused bits, key } }.
    static std::vector<std::uint8_t> addPublicKeyHeader(std::span<const std::uint8_t> pkcs1Key);

    // Everything after the BIT STRING's unused-bits byte when `key` starts with the
    // SubjectPublicKeyInfo wrapping of an RSA key; otherwise `key` unchanged (a PKCS#1 key, an
    // elliptic-curve key, truncated or malformed input). The DER lengths are skipped, not checked.
    static std::vector<std::uint8_t> stripPublicKeyHeader(std::span<const std::uint8_t> key);

    // DER length: one byte up to 127, else 0x80 + L followed by L big-endian bytes.
    static std::vector<std::uint8_t> encodeLength(std::size_t length);

    // The DER length at `position`; moves `position` past it. Nothing, with `position` unchanged,
    // when the length is malformed: the long form with zero length bytes, or fewer bytes left than
    // it announces (or `position` at or past the end). Values beyond 64 bits keep their low bits.
    static std::optional<std::uint64_t> parseLength(std::span<const std::uint8_t> bytes,
                                                    std::size_t& position);
};

} // namespace velquor::detail
