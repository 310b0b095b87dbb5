// Turns arbitrary text (a bundle identifier, a suite name) into one safe file name.
#pragma once

#include <string>
#include <string_view>

namespace velquor::detail {

// Stateless; safe from any thread.
class PathComponent {
public:
    // Letters, digits, '-', '_' and '.' stay; every other byte, and a leading '.', becomes %XX
    // (upper-case hexadecimal), so the result is never empty, ".", ".." or hidden and never holds
    // a '/' or a zero byte; different texts give different names. A result longer than 200 bytes
    // is cut and followed by '~' and 32 hexadecimal digits of the text's SHA-256. Empty text
    // gives "%".
    static std::string encode(std::string_view text);
};

} // namespace velquor::detail
