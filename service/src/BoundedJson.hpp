// JSON text parsed with a nesting limit: a scan refuses text whose containers nest past the limit
// before any of it is parsed, so a hostile document nested a million deep never becomes a tree;
// every tree the service holds can therefore be copied and printed safely.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

namespace velquor::service {

// Stateless; safe from any thread.
class BoundedJson {
public:
    // Arrays and objects may nest this deep: the outermost value is depth 1.
    static constexpr int deepestNesting = 64;

    // The parsed value, or nullopt when `text` is not one JSON value or nests deeper than the limit.
    static std::optional<nlohmann::json> parse(std::string_view text);
};

} // namespace velquor::service
