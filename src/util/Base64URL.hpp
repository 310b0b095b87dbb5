// URL-safe Base64 without padding, as JSON Web Tokens carry their segments ("-" and "_" for
// "+" and "/", no "="). Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::detail {

// Never fails; one line, no padding.
std::string base64URLEncodedString(std::span<const std::uint8_t> bytes);
std::string base64URLEncodedString(std::string_view bytes);

// Nothing when `text` is not Base64URL. The standard alphabet and correct padding are accepted
// too ("+/8=" and "-_8" both decode); any other character, spaces and line breaks included, and a
// length of one more than a multiple of four make the decode fail.
std::optional<std::vector<std::uint8_t>> base64URLDecoded(std::string_view text);

} // namespace velquor::detail
