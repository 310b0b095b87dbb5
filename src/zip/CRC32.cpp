#include "zip/CRC32.hpp"

#include <array>

namespace velquor::detail {

namespace {

constexpr std::array<std::uint32_t, 256> makeTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr auto kTable = makeTable();

} // namespace

std::uint32_t CRC32::update(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
    // The running value is kept complemented between calls, so 0 is the start.
    std::uint32_t c = ~crc;
    for (std::uint8_t byte : bytes)
        c = kTable[(c ^ byte) & 0xFF] ^ (c >> 8);
    return ~c;
}

} // namespace velquor::detail
