// UTF-8 validation and repair for text that comes from outside (system facts, host input).
#pragma once

#include <string>
#include <string_view>

namespace velquor::detail {

// True when `text` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view text) noexcept;

// `text` with every ill-formed sequence replaced by U+FFFD.
std::string sanitizeUtf8(std::string_view text);

} // namespace velquor::detail
