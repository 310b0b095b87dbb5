#include "PayloadDemo.hpp"

#include <velquor/Velquor.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velquor::demo {

namespace {

// Base64URL without padding, as token segments carry it; nothing for any other character.
std::optional<std::string> decodeSegment(std::string_view segment) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '-')
            return 62;
        if (c == '_')
            return 63;
        return -1;
    };
    std::string bytes;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (char c : segment) {
        int v = value(c);
        if (v < 0)
            return std::nullopt;
        buffer = (buffer << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return bytes;
}

void printSegment(std::ostream& out, const char* title, std::string_view segment) {
    out << title << ":\n";
    std::optional<std::string> bytes = decodeSegment(segment);
    Json json = bytes ? Json::parse(*bytes, nullptr, false) : Json(Json::value_t::discarded);
    if (json.is_discarded())
        out << "  (not Base64URL JSON)\n";
    else
        out << json.dump(2) << "\n";
}

} // namespace

bool printMobilePayload(std::ostream& out, bool requireSignature) {
    std::string token;
    try {
        token = Velquor::generateMobilePayload();
    } catch (const Error& error) {
        out << "generateMobilePayload threw code=" << error.code()
            << " internalErrorCode=" << error.userInfo().value("internalErrorCode", Json()).dump()
            << " message=\"" << error.localizedDescription() << "\"" << std::endl;
        return false;
    }
    out << "token (" << token.size() << " characters):\n" << token << "\n";
    std::size_t first = token.find('.');
    std::size_t second = first == std::string::npos ? first : token.find('.', first + 1);
    if (second == std::string::npos) {
        out << "(not a compact token)" << std::endl;
        return !requireSignature;
    }
    printSegment(out, "header", std::string_view(token).substr(0, first));
    printSegment(out, "claims", std::string_view(token).substr(first + 1, second - first - 1));
    std::size_t signatureLength = token.size() - second - 1;
    out << "signature: "
        << (signatureLength == 0 ? "none (unsigned)" : std::to_string(signatureLength) + " characters")
        << std::endl;
    return signatureLength > 0 || !requireSignature;
}

} // namespace velquor::demo
