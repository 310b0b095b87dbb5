// One-shot message digests (OpenSSL EVP). Pure; safe from any thread.
#pragma once

#include <velquor/Platform.hpp>

#include <cstdint>
#include <span>
#include <vector>

namespace velquor::detail {

// `bits` picks the function: 1 is SHA-1 (20 bytes), 256 SHA-256, 384 SHA-384, 512 SHA-512.
// Any other value writes the line "error" to `console` (when one is given) and gives empty bytes;
// so does a failure inside OpenSSL (which is also logged).
std::vector<std::uint8_t> digest(int bits, std::span<const std::uint8_t> bytes, Console* console = nullptr);

} // namespace velquor::detail
