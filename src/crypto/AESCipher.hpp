// AES (FIPS-197) with 128-, 192- and 256-bit keys in the 32-bit table form, chained with CBC and
// padded with PKCS#7. One cipher serves one message: the round keys are expanded on the first
// block and kept for the rest. Not thread-safe (the key schedule is filled lazily); make one per
// message and thread.
//
//   auto cipher = AESCipher::make(keyBytes, ivBytes);
//   if (cipher) auto sealed = cipher->encrypt(plaintext);
#pragma once

#include "crypto/CBCBlockMode.hpp"
#include "util/Result.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace velquor::detail {

// In declaration order.
enum class AESCipherError {
    blockSizeExceeded,                // ciphertext length not a multiple of 16
    dataPaddingRequired,              // an empty ciphertext: not even the padding block
    invalidKeyOrInitializationVector, // key not 16, 24 or 32 bytes
    invalidInitializationVector,      // IV not 16 bytes
};

const char* toString(AESCipherError error) noexcept;

class AESCipher {
public:
    using Error = AESCipherError;
    using Block = CBCBlockMode::Block;
    // What encrypt/decrypt can fail with: the cipher's error or the chaining mode's.
    using Failure = std::variant<AESCipherError, CBCBlockModeError>;

    // A key of 16, 24 or 32 bytes (AES-128/192/256); an IV of 16 bytes or none (chaining then
    // fails with MissingInitializationVector).
    static Result<AESCipher, Error> make(std::span<const std::uint8_t> key,
                                         std::optional<std::span<const std::uint8_t>> iv);

    // PKCS#7-pads (1 to 16 bytes of value n) and CBC-encrypts; the result is 16 * (p / 16 + 1) bytes.
    Result<std::vector<std::uint8_t>, Failure> encrypt(std::span<const std::uint8_t> plaintext);
    // CBC-decrypts and drops the padding by its last byte n alone: 1 <= n <= length drops n bytes,
    // anything else keeps the data as it is. Fails with blockSizeExceeded for a length that is not
    // a multiple of 16 and with dataPaddingRequired for an empty ciphertext.
    Result<std::vector<std::uint8_t>, Failure> decrypt(std::span<const std::uint8_t> ciphertext);

    // One block, no chaining (in and out may alias).
    void encryptBlock(const std::uint8_t* in, std::uint8_t* out);
    void decryptBlock(const std::uint8_t* in, std::uint8_t* out);

    int rounds() const noexcept { return rounds_; }

    // Key bytes and round keys are wiped when the cipher goes.
    ~AESCipher();
    AESCipher(const AESCipher&) = default;
    AESCipher(AESCipher&&) = default;
    AESCipher& operator=(const AESCipher&) = default;
    AESCipher& operator=(AESCipher&&) = default;

private:
    using Schedule = std::array<std::uint32_t, 60>; // 4 words per round key, up to 15 round keys

    AESCipher(std::span<const std::uint8_t> key, std::optional<Block> iv);
    const Schedule& expandedKey();
    const Schedule& expandedKeyInv();

    std::vector<std::uint8_t> key_;
    std::optional<Block> iv_;
    CBCBlockMode blockMode_;
    int rounds_;
    std::optional<Schedule> expandedKey_;
    std::optional<Schedule> expandedKeyInv_;
};

} // namespace velquor::detail
