#include "zip/CRC32.hpp"

#include <array>

namespace velquor::detail {

namespace {

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

// tables[0] is the classic byte table; tables[k][n] advances tables[k - 1][n] by one more zero
// byte, so eight bytes can be folded in with eight independent lookups ("slicing by 8").
constexpr Tables makeTables() {
    Tables tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        tables[0][n] = c;
    }
    for (std::size_t k = 1; k < tables.size(); ++k)
        for (std::uint32_t n = 0; n < 256; ++n)
            tables[k][n] = tables[0][tables[k - 1][n] & 0xFF] ^ (tables[k - 1][n] >> 8);
    return tables;
}

constexpr Tables kTables = makeTables();

} // namespace

std::uint32_t CRC32::update(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
    // The running value is kept complemented between calls, so 0 is the start.
    std::uint32_t c = ~crc;
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    for (; left >= 8; left -= 8, p += 8) {
        const std::uint32_t low =
            c ^ (p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24);
        c = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^ kTables[5][(low >> 16) & 0xFF] ^
            kTables[4][low >> 24] ^ kTables[3][p[4]] ^ kTables[2][p[5]] ^ kTables[1][p[6]] ^ kTables[0][p[7]];
    }
    for (; left > 0; --left, ++p)
        c = kTables[0][(c ^ *p) & 0xFF] ^ (c >> 8);
    return ~c;
}

} // namespace velquor::detail
