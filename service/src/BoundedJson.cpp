#include "BoundedJson.hpp"

namespace velquor::service {
namespace {

// Counts container depth and stops the parse as soon as it passes the limit.
class DepthCounter : public nlohmann::json_sax<nlohmann::json> {
public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return enter(); }
    bool key(string_t&) override { return true; }
    bool end_object() override { return leave(); }
    bool start_array(std::size_t) override { return enter(); }
    bool end_array() override { return leave(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    bool enter() { return ++depth_ <= BoundedJson::deepestNesting; }
    bool leave() {
        --depth_;
        return true;
    }
    int depth_ = 0;
};

} // namespace

bool BoundedJson::withinLimit(std::string_view text) {
    DepthCounter counter;
    return nlohmann::json::sax_parse(text.begin(), text.end(), &counter, nlohmann::json::input_format_t::json,
                                     true, false);
}

std::optional<nlohmann::json> BoundedJson::parse(std::string_view text) {
    if (!withinLimit(text))
        return std::nullopt;
    auto value = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (value.is_discarded())
        return std::nullopt;
    return value;
}

} // namespace velquor::service
