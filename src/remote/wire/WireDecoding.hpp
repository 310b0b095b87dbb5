// Shared rules for decoding the service's JSON into wire models: a model is a JSON object;
// an optional member that is missing or null stays absent; a member present with another type
// fails the whole decoding; required members must be present with the right type; unknown
// members are ignored.
//
//   std::optional<std::string> code;
//   if (!wire::optionalText(object, "code", code)) return std::nullopt;
#pragma once

#include <velquor/Velquor.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velquor::detail::wire {

// The member `name` of `object`, or null when it is missing or JSON null.
inline const Json* member(const Json& object, const char* name) {
    auto it = object.find(name);
    if (it == object.end() || it->is_null())
        return nullptr;
    return &*it;
}

// False when the member is present with a type other than string.
inline bool optionalText(const Json& object, const char* name, std::optional<std::string>& out) {
    const Json* value = member(object, name);
    if (!value)
        return true;
    if (!value->is_string())
        return false;
    out = value->get<std::string>();
    return true;
}

inline bool requiredText(const Json& object, const char* name, std::string& out) {
    std::optional<std::string> value;
    if (!optionalText(object, name, value) || !value)
        return false;
    out = std::move(*value);
    return true;
}

// A JSON number without fraction that fits a signed 64-bit integer.
inline bool optionalInteger(const Json& object, const char* name, std::optional<std::int64_t>& out) {
    const Json* value = member(object, name);
    if (!value)
        return true;
    if (value->is_number_integer()) {
        if (value->is_number_unsigned() && value->get<std::uint64_t>() > INT64_MAX)
            return false;
        out = value->get<std::int64_t>();
        return true;
    }
    return false;
}

// A nested model decoded by `Model::decode(const Json&)`.
template <typename Model>
bool optionalObject(const Json& object, const char* name, std::optional<Model>& out) {
    const Json* value = member(object, name);
    if (!value)
        return true;
    auto decoded = Model::decode(*value);
    if (!decoded)
        return false;
    out = std::move(*decoded);
    return true;
}

// An array whose every element decodes as `Model`; one bad element fails it.
template <typename Model>
bool optionalArray(const Json& object, const char* name, std::optional<std::vector<Model>>& out) {
    const Json* value = member(object, name);
    if (!value)
        return true;
    if (!value->is_array())
        return false;
    std::vector<Model> models;
    models.reserve(value->size());
    for (const auto& element : *value) {
        auto decoded = Model::decode(element);
        if (!decoded)
            return false;
        models.push_back(std::move(*decoded));
    }
    out = std::move(models);
    return true;
}

// Sets `name` only when `value` is present (absent optional fields are left out when encoding).
template <typename T> void encodeOptional(Json& object, const char* name, const std::optional<T>& value) {
    if (value)
        object[name] = *value;
}

} // namespace velquor::detail::wire
