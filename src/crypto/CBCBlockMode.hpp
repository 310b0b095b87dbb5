// Cipher block chaining over any 16-byte block function: each plaintext block is XORed with the
// previous ciphertext block (the IV for the first) before encryption. No padding here; the data
// must already be whole blocks. Stateless; safe from any thread.
#pragma once

#include "util/Result.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace velquor::detail {

enum class CBCBlockModeError { MissingInitializationVector };

class CBCBlockMode {
public:
    using BlockError = CBCBlockModeError;
    using Block = std::array<std::uint8_t, 16>;

    struct Done {};

    // Encrypts `data` (a multiple of 16 bytes) in place. `encryptBlock(in, out)` encrypts one
    // block; in and out may be the same buffer.
    template <typename EncryptBlock>
    Result<Done, BlockError> encrypt(std::span<std::uint8_t> data, const std::optional<Block>& iv,
                                     EncryptBlock&& encryptBlock) const {
        if (!iv)
            return BlockError::MissingInitializationVector;
        const std::uint8_t* previous = iv->data();
        for (std::size_t offset = 0; offset + 16 <= data.size(); offset += 16) {
            std::uint8_t* block = data.data() + offset;
            for (int i = 0; i < 16; ++i)
                block[i] ^= previous[i];
            encryptBlock(block, block);
            previous = block;
        }
        return Done{};
    }

    // Decrypts `data` (a multiple of 16 bytes) in place. `decryptBlock(in, out)` decrypts one
    // block; in and out may be the same buffer.
    template <typename DecryptBlock>
    Result<Done, BlockError> decrypt(std::span<std::uint8_t> data, const std::optional<Block>& iv,
                                     DecryptBlock&& decryptBlock) const {
        if (!iv)
            return BlockError::MissingInitializationVector;
        Block previous = *iv;
        Block saved;
        for (std::size_t offset = 0; offset + 16 <= data.size(); offset += 16) {
            std::uint8_t* block = data.data() + offset;
            std::memcpy(saved.data(), block, 16);
            decryptBlock(block, block);
            for (int i = 0; i < 16; ++i)
                block[i] ^= previous[i];
            previous = saved;
        }
        return Done{};
    }
};

} // namespace velquor::detail
