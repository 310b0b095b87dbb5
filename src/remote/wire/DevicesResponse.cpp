#include "remote/wire/DevicesResponse.hpp"

#include "remote/wire/WireDecoding.hpp"
#include "util/BoundedJson.hpp"

namespace velquor::detail {

std::optional<Application> Application::decode(const Json& json) {
    if (!json.is_object())
        return std::nullopt;
    Application model;
    if (!wire::optionalText(json, "id", model.id))
        return std::nullopt;
    return model;
}

Json Application::encode() const {
    Json json = Json::object();
    wire::encodeOptional(json, "id", id);
    return json;
}

std::optional<Logs> Logs::decode(const Json& json) {
    if (!json.is_object())
        return std::nullopt;
    Logs model;
    if (!wire::optionalText(json, "status", model.status) ||
        !wire::optionalText(json, "level", model.level) ||
        !wire::optionalText(json, "supportID", model.supportID) ||
        !wire::optionalInteger(json, "receivedAt", model.receivedAt))
        return std::nullopt;
    return model;
}

Json Logs::encode() const {
    Json json = Json::object();
    wire::encodeOptional(json, "status", status);
    wire::encodeOptional(json, "level", level);
    wire::encodeOptional(json, "supportID", supportID);
    wire::encodeOptional(json, "receivedAt", receivedAt);
    return json;
}

std::optional<Device> Device::decode(const Json& json) {
    if (!json.is_object())
        return std::nullopt;
    Device model;
    if (!wire::optionalText(json, "id", model.id) ||
        !wire::optionalObject(json, "environment", model.environment) ||
        !wire::optionalObject(json, "logs", model.logs) ||
        !wire::optionalText(json, "status", model.status) ||
        !wire::optionalInteger(json, "createdAt", model.createdAt) ||
        !wire::optionalInteger(json, "updatedAt", model.updatedAt) ||
        !wire::optionalObject(json, "user", model.user) ||
        !wire::optionalObject(json, "application", model.application))
        return std::nullopt;
    return model;
}

Json Device::encode() const {
    Json json = Json::object();
    wire::encodeOptional(json, "id", id);
    if (environment)
        json["environment"] = environment->encode();
    if (logs)
        json["logs"] = logs->encode();
    wire::encodeOptional(json, "status", status);
    wire::encodeOptional(json, "createdAt", createdAt);
    wire::encodeOptional(json, "updatedAt", updatedAt);
    if (user)
        json["user"] = user->encode();
    if (application)
        json["application"] = application->encode();
    return json;
}

std::optional<DevicesResponse> DevicesResponse::decode(const Json& json) {
    if (!json.is_object())
        return std::nullopt;
    DevicesResponse model;
    if (!wire::optionalArray(json, "devices", model.devices))
        return std::nullopt;
    return model;
}

std::optional<DevicesResponse> DevicesResponse::decode(std::string_view bytes) {
    auto json = BoundedJson::parse(bytes);
    if (!json)
        return std::nullopt;
    return decode(*json);
}

Json DevicesResponse::encode() const {
    Json json = Json::object();
    if (devices) {
        Json array = Json::array();
        for (const auto& device : *devices)
            array.push_back(device.encode());
        json["devices"] = std::move(array);
    }
    return json;
}

} // namespace velquor::detail
