#include "remote/wire/ServerErrorResponse.hpp"

#include "remote/wire/WireDecoding.hpp"
#include "util/BoundedJson.hpp"

namespace velquor::detail {

std::optional<InnerError> InnerError::decode(const Json& json) {
    if (!json.is_object())
        return std::nullopt;
    InnerError model;
    if (!wire::optionalText(json, "expected", model.expected) ||
        !wire::optionalText(json, "actual", model.actual))
        return std::nullopt;
    return model;
}

Json InnerError::encode() const {
    Json json = Json::object();
    wire::encodeOptional(json, "expected", expected);
    wire::encodeOptional(json, "actual", actual);
    return json;
}

std::optional<Details> Details::decode(const Json& json) {
    if (!json.is_object())
        return std::nullopt;
    Details model;
    if (!wire::optionalObject(json, "innerError", model.innerError) ||
        !wire::optionalText(json, "target", model.target) || !wire::optionalText(json, "code", model.code) ||
        !wire::optionalText(json, "message", model.message))
        return std::nullopt;
    return model;
}

Json Details::encode() const {
    Json json = Json::object();
    if (innerError)
        json["innerError"] = innerError->encode();
    wire::encodeOptional(json, "target", target);
    wire::encodeOptional(json, "code", code);
    wire::encodeOptional(json, "message", message);
    return json;
}

std::optional<ServerErrorResponse> ServerErrorResponse::decode(const Json& json) {
    if (!json.is_object())
        return std::nullopt;
    ServerErrorResponse model;
    if (!wire::optionalArray(json, "details", model.details) || !wire::optionalText(json, "id", model.id) ||
        !wire::optionalText(json, "code", model.code) || !wire::optionalText(json, "message", model.message))
        return std::nullopt;
    return model;
}

std::optional<ServerErrorResponse> ServerErrorResponse::decode(std::string_view bytes) {
    auto json = BoundedJson::parse(bytes);
    if (!json)
        return std::nullopt;
    return decode(*json);
}

Json ServerErrorResponse::encode() const {
    Json json = Json::object();
    if (details) {
        Json array = Json::array();
        for (const auto& detail : *details)
            array.push_back(detail.encode());
        json["details"] = std::move(array);
    }
    wire::encodeOptional(json, "id", id);
    wire::encodeOptional(json, "code", code);
    wire::encodeOptional(json, "message", message);
    return json;
}

} // namespace velquor::detail
