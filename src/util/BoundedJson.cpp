#include "util/BoundedJson.hpp"

#include <utility>

namespace velquor::detail {

namespace {

using Json = nlohmann::json;

// A first, tree-less pass: counts nesting without recursion and stops at the first level past
// the limit, so the tree built afterwards is never deeper than kMaximumDepth.
class DepthCheck {
public:
    std::string error;

    bool null() { return true; }
    bool boolean(bool) { return true; }
    bool number_integer(Json::number_integer_t) { return true; }
    bool number_unsigned(Json::number_unsigned_t) { return true; }
    bool number_float(Json::number_float_t, const Json::string_t&) { return true; }
    bool string(Json::string_t&) { return true; }
    bool binary(Json::binary_t&) { return true; }
    bool key(Json::string_t&) { return true; }
    bool start_object(std::size_t) { return enter(); }
    bool end_object() { return leave(); }
    bool start_array(std::size_t) { return enter(); }
    bool end_array() { return leave(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& failure) {
        error = failure.what();
        return false;
    }

private:
    bool enter() {
        if (++depth_ <= BoundedJson::kMaximumDepth)
            return true;
        error = "nesting deeper than " + std::to_string(BoundedJson::kMaximumDepth);
        return false;
    }
    bool leave() {
        --depth_;
        return true;
    }
    std::size_t depth_ = 0;
};

} // namespace

BoundedJson::Parsed BoundedJson::parse(std::string_view text) {
    Parsed parsed;
    DepthCheck check;
    try {
        if (!Json::sax_parse(text, &check)) {
            parsed.error = check.error.empty() ? "unparsable JSON" : check.error;
            return parsed;
        }
        parsed.value = Json::parse(text);
    } catch (const std::exception& failure) { // allocation only: the text was checked above
        parsed.value.reset();
        parsed.error = failure.what();
    }
    return parsed;
}

BoundedJson::Parsed BoundedJson::parse(const std::vector<std::uint8_t>& bytes) {
    return parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool BoundedJson::withinDepth(const Json& value) {
    // Explicit stack: the tree may be far deeper than the thread's stack would allow.
    std::vector<std::pair<const Json*, std::size_t>> pending{{&value, 1}};
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        if (!node->is_structured())
            continue;
        if (depth > kMaximumDepth)
            return false;
        for (const auto& child : *node)
            pending.emplace_back(&child, depth + 1);
    }
    return true;
}

} // namespace velquor::detail
