#include "ServiceBase64.hpp"

#include <array>
#include <cstdint>

namespace velquor::service {
namespace {

constexpr std::string_view standardAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view urlAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encodeWith(std::string_view bytes, std::string_view alphabet, bool pad) {
    std::string out((bytes.size() / 3) * 4, '\0');
    char* next = out.data();
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t n = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                           uint32_t(uint8_t(bytes[i + 2]));
        *next++ = alphabet[(n >> 18) & 63];
        *next++ = alphabet[(n >> 12) & 63];
        *next++ = alphabet[(n >> 6) & 63];
        *next++ = alphabet[n & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest == 1) {
        const uint32_t n = uint32_t(uint8_t(bytes[i])) << 16;
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        if (pad)
            out += "==";
    } else if (rest == 2) {
        const uint32_t n = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        if (pad)
            out += '=';
    }
    return out;
}

std::array<int8_t, 256> reverseOf(std::string_view alphabet) {
    std::array<int8_t, 256> table{};
    table.fill(-1);
    for (size_t i = 0; i < alphabet.size(); ++i)
        table[uint8_t(alphabet[i])] = int8_t(i);
    return table;
}

// Decodes unpadded symbols; a trailing group of 1 symbol, or non-zero bits below the last full
// byte, make the text non-canonical and are refused.
std::optional<std::string> decodeSymbols(std::string_view text, const std::array<int8_t, 256>& table) {
    if (text.size() % 4 == 1)
        return std::nullopt;
    std::string out(text.size() * 3 / 4, '\0');
    char* next = out.data();
    uint32_t buffer = 0;
    int bits = 0;
    for (const char c : text) {
        const int8_t value = table[uint8_t(c)];
        if (value < 0)
            return std::nullopt;
        buffer = (buffer << 6) | uint32_t(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            *next++ = char((buffer >> bits) & 0xFF);
        }
    }
    if (bits > 0 && (buffer & ((1u << bits) - 1)) != 0)
        return std::nullopt;
    return out;
}

} // namespace

std::string ServiceBase64::encode(std::string_view bytes) {
    return encodeWith(bytes, standardAlphabet, true);
}

std::optional<std::string> ServiceBase64::decode(std::string_view text) {
    static const auto table = reverseOf(standardAlphabet);
    if (text.size() % 4 != 0)
        return std::nullopt;
    size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
        ++padding;
    return decodeSymbols(text.substr(0, text.size() - padding), table);
}

std::string ServiceBase64::encodeURL(std::string_view bytes) {
    return encodeWith(bytes, urlAlphabet, false);
}

std::optional<std::string> ServiceBase64::decodeURL(std::string_view text) {
    static const auto table = reverseOf(urlAlphabet);
    return decodeSymbols(text, table);
}

} // namespace velquor::service
