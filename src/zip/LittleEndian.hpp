// Little-endian field access for the ZIP records: append to a byte vector, read from a span.
// Free functions without state; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velquor::detail::le {

inline void put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

inline void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    put16(out, static_cast<std::uint16_t>(value));
    put16(out, static_cast<std::uint16_t>(value >> 16));
}

// `at + 2` (or `at + 4`) must be within `in`.
inline std::uint16_t get16(std::span<const std::uint8_t> in, std::size_t at) {
    return static_cast<std::uint16_t>(in[at] | (in[at + 1] << 8));
}

inline std::uint32_t get32(std::span<const std::uint8_t> in, std::size_t at) {
    return get16(in, at) | (static_cast<std::uint32_t>(get16(in, at + 2)) << 16);
}

} // namespace velquor::detail::le
