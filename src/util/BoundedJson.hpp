// Parses JSON that comes from outside the library (tokens, service replies, stored files) with
// a nesting limit, so hostile input can neither exhaust the stack nor yield a tree whose later
// copy, comparison or dump would.
//
//   auto value = BoundedJson::parse(bytes);
//   if (!value) return parseFailure(value.error);
//
// The outermost value is depth 1; a text nesting deeper than kMaximumDepth is refused like any
// other unparsable text. The reader is strict: no comments, no trailing commas, UTF-8 checked.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::detail {

// Stateless; safe from any thread. Never throws and never recurses once per level of input.
class BoundedJson {
public:
    static constexpr std::size_t kMaximumDepth = 64;

    struct Parsed {
        std::optional<nlohmann::json> value;
        std::string error; // why `value` is absent

        explicit operator bool() const { return value.has_value(); }
        nlohmann::json& operator*() { return *value; }
        nlohmann::json* operator->() { return &*value; }
    };

    static Parsed parse(std::string_view text);
    static Parsed parse(const std::vector<std::uint8_t>& bytes);
    // Whether a tree made elsewhere (a host's dictionary) nests no deeper than kMaximumDepth, so
    // it may be dumped or copied. Stops at the first level past the limit.
    static bool withinDepth(const nlohmann::json& value);
};

} // namespace velquor::detail
