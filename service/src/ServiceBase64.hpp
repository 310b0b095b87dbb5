// Strict Base64 codecs for the service: the standard alphabet with padding (keys, notification
// payloads) and the URL-safe alphabet without padding (token segments).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velquor::service {

// Stateless; every function is safe to call from any thread.
class ServiceBase64 {
public:
    // Standard alphabet, "=" padding, no line breaks.
    static std::string encode(std::string_view bytes);
    // Refuses anything but canonical standard Base64 (padding required, no whitespace, zero tail bits).
    static std::optional<std::string> decode(std::string_view text);

    // URL-safe alphabet without padding (RFC 7515 Base64url).
    static std::string encodeURL(std::string_view bytes);
    // Refuses padding, whitespace, characters outside the URL-safe alphabet and non-zero tail bits.
    static std::optional<std::string> decodeURL(std::string_view text);
};

} // namespace velquor::service
