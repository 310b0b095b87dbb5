#include "remote/wire/EnrollmentResponse.hpp"

#include "remote/wire/WireDecoding.hpp"
#include "util/BoundedJson.hpp"

namespace velquor::detail {

std::optional<EnrollmentResponse> EnrollmentResponse::decode(const Json& json) {
    if (!json.is_object())
        return std::nullopt;
    EnrollmentResponse model;
    if (!wire::optionalText(json, "pairingKey", model.pairingKey) ||
        !wire::optionalText(json, "status", model.status) ||
        !wire::optionalText(json, "message", model.message) ||
        !wire::optionalObject(json, "error", model.error))
        return std::nullopt;
    return model;
}

std::optional<EnrollmentResponse> EnrollmentResponse::decode(std::string_view bytes) {
    auto json = BoundedJson::parse(bytes);
    if (!json)
        return std::nullopt;
    return decode(*json);
}

Json EnrollmentResponse::encode() const {
    Json json = Json::object();
    wire::encodeOptional(json, "pairingKey", pairingKey);
    wire::encodeOptional(json, "status", status);
    wire::encodeOptional(json, "message", message);
    if (error)
        json["error"] = error->encode();
    return json;
}

} // namespace velquor::detail
