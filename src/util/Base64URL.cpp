#include "util/Base64URL.hpp"

#include "util/Base64.hpp"

namespace velquor::detail {

std::string base64URLEncodedString(std::span<const std::uint8_t> bytes) {
    std::string text = base64Encode(bytes);
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        if (c == '+')
            result += '-';
        else if (c == '/')
            result += '_';
        else if (c != '=')
            result += c;
    }
    return result;
}

std::string base64URLEncodedString(std::string_view bytes) {
    return base64URLEncodedString(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<std::vector<std::uint8_t>> base64URLDecoded(std::string_view text) {
    std::string standard(text);
    for (char& c : standard) {
        if (c == '-')
            c = '+';
        else if (c == '_')
            c = '/';
    }
    // A remainder of 1 gets "===", which the strict decoder refuses: no Base64 text has that length.
    static constexpr const char* kPadding[] = {"", "===", "==", "="};
    standard += kPadding[standard.size() % 4];
    return base64Decode(standard);
}

} // namespace velquor::detail
