#include "BoundedJson.hpp"

namespace velquor::service {
namespace {

// True when no array or object in `text` opens more than `limit` deep. Brackets inside strings do
// not count; text that is not JSON passes or fails here as it may, since the parser refuses it.
bool nestsWithin(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limit)
                return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

} // namespace

std::optional<nlohmann::json> BoundedJson::parse(std::string_view text) {
    // The depth is checked by a scan before the parse (one cheap pass that builds nothing), so the
    // parser itself runs without a callback on every token, which would make it markedly slower.
    if (!nestsWithin(text, deepestNesting))
        return std::nullopt;
    auto value = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (value.is_discarded())
        return std::nullopt;
    return value;
}

} // namespace velquor::service
