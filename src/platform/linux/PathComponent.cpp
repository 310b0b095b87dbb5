#include "platform/linux/PathComponent.hpp"

#include "util/OpenSSLPtr.hpp"

namespace velquor::detail {

namespace {
constexpr std::size_t kMaximumLength = 200;
constexpr std::size_t kKeptLength = 150;
const char kHex[] = "0123456789ABCDEF";

bool keeps(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}
} // namespace

std::string PathComponent::encode(std::string_view text) {
    if (text.empty())
        return "%";
    std::string encoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (keeps(c) && !(i == 0 && c == '.')) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 0xF];
        }
    }
    if (encoded.size() <= kMaximumLength)
        return encoded;
    std::size_t cut = kKeptLength;
    // Never split a %XX escape.
    if (encoded[cut - 1] == '%')
        cut -= 1;
    else if (encoded[cut - 2] == '%')
        cut -= 2;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        drainOpenSSLErrors();
        length = 0;
    }
    encoded.resize(cut);
    encoded += '~';
    for (unsigned int i = 0; i < length && i < 16; ++i) {
        encoded += kHex[digest[i] >> 4];
        encoded += kHex[digest[i] & 0xF];
    }
    return encoded;
}

} // namespace velquor::detail
