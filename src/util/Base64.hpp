// Standard Base64 (RFC 4648 section 4: "+" and "/", "=" padding), one line, strict decoding.
// Every Base64 text the library reads or writes goes through here (Base64URL builds on it).
// Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::detail {

// Never fails; no line breaks, whatever the length.
std::string base64Encode(std::span<const std::uint8_t> bytes);
std::string base64Encode(std::string_view bytes);

// Nothing unless `text` is canonical Base64: a length that is a multiple of four, only alphabet
// characters (no whitespace or line breaks skipped), "=" only as the last one or two characters
// of the text, and zero bits under the padding. The empty text decodes to empty bytes.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

} // namespace velquor::detail
