#include "BoundedJson.hpp"

namespace velquor::service {
namespace {

struct TooDeep {};

} // namespace

std::optional<nlohmann::json> BoundedJson::parse(std::string_view text) {
    using Event = nlohmann::json::parse_event_t;
    // `depth` counts the containers already open around the one that starts.
    const auto limit = [](int depth, Event event, nlohmann::json&) {
        if ((event == Event::object_start || event == Event::array_start) && depth >= deepestNesting)
            throw TooDeep{};
        return true;
    };
    try {
        auto value = nlohmann::json::parse(text.begin(), text.end(), limit, false);
        if (value.is_discarded())
            return std::nullopt;
        return value;
    } catch (const TooDeep&) {
        return std::nullopt;
    }
}

} // namespace velquor::service
