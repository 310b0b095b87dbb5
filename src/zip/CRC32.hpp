// The ZIP CRC-32 (reflected polynomial 0xEDB88320, initial value and final complement all ones),
// table-driven (eight bytes per step) and incremental, so an entry's checksum is built chunk by
// chunk as it streams:
//
//   std::uint32_t crc = 0;
//   crc = CRC32::update(crc, firstChunk);
//   crc = CRC32::update(crc, secondChunk);   // == CRC32::update(0, both chunks)
//
// Stateless (the table is a compile-time constant); thread-safe.
#pragma once

#include <cstdint>
#include <span>

namespace velquor::detail {

class CRC32 {
public:
    // The CRC-32 of everything summed into `crc` so far followed by `bytes`; start from 0.
    static std::uint32_t update(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept;
};

} // namespace velquor::detail
