#include "util/Utf8.hpp"

#include <cstdint>

namespace velquor::detail {
namespace {

// Length of the well-formed sequence starting at `i`, or 0 when it is ill-formed (RFC 3629).
std::size_t sequenceLength(std::string_view s, std::size_t i) noexcept {
    auto byte = [&](std::size_t k) {
        return static_cast<std::uint8_t>(s[k]);
    };
    std::uint8_t b0 = byte(i);
    if (b0 < 0x80)
        return 1;
    std::size_t need;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        if (b0 == 0xE0)
            lo = 0xA0; // overlong
        if (b0 == 0xED)
            hi = 0x9F; // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        if (b0 == 0xF0)
            lo = 0x90; // overlong
        if (b0 == 0xF4)
            hi = 0x8F; // above U+10FFFF
    } else {
        return 0;
    }
    if (i + need > s.size())
        return 0;
    std::uint8_t b1 = byte(i + 1);
    if (b1 < lo || b1 > hi)
        return 0;
    for (std::size_t k = 2; k < need; ++k) {
        std::uint8_t b = byte(i + k);
        if (b < 0x80 || b > 0xBF)
            return 0;
    }
    return need;
}

} // namespace

bool isValidUtf8(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = sequenceLength(text, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string sanitizeUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = sequenceLength(text, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

} // namespace velquor::detail
