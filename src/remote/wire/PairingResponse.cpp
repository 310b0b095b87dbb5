#include "remote/wire/PairingResponse.hpp"

#include "remote/wire/WireDecoding.hpp"
#include "util/BoundedJson.hpp"

namespace velquor::detail {

std::optional<MobileDevice> MobileDevice::decode(const Json& json) {
    if (!json.is_object())
        return std::nullopt;
    MobileDevice model;
    if (!wire::optionalText(json, "id", model.id) ||
        !wire::optionalText(json, "marketingName", model.marketingName))
        return std::nullopt;
    return model;
}

Json MobileDevice::encode() const {
    Json json = Json::object();
    wire::encodeOptional(json, "id", id);
    wire::encodeOptional(json, "marketingName", marketingName);
    return json;
}

std::optional<InstalledApplication> InstalledApplication::decode(const Json& json) {
    if (!json.is_object())
        return std::nullopt;
    InstalledApplication model;
    if (!wire::optionalText(json, "id", model.id))
        return std::nullopt;
    return model;
}

Json InstalledApplication::encode() const {
    Json json = Json::object();
    wire::encodeOptional(json, "id", id);
    return json;
}

std::optional<PairingResponse> PairingResponse::decode(const Json& json) {
    if (!json.is_object())
        return std::nullopt;
    PairingResponse model;
    if (!wire::optionalObject(json, "mobileDevice", model.mobileDevice) ||
        !wire::optionalObject(json, "installedApplication", model.installedApplication) ||
        !wire::requiredText(json, "id", model.id) || !wire::requiredText(json, "status", model.status) ||
        !wire::optionalText(json, "serverPublicKey", model.serverPublicKey))
        return std::nullopt;
    return model;
}

std::optional<PairingResponse> PairingResponse::decode(std::string_view bytes) {
    auto json = BoundedJson::parse(bytes);
    if (!json)
        return std::nullopt;
    return decode(*json);
}

Json PairingResponse::encode() const {
    Json json = Json::object();
    if (mobileDevice)
        json["mobileDevice"] = mobileDevice->encode();
    if (installedApplication)
        json["installedApplication"] = installedApplication->encode();
    json["id"] = id;
    json["status"] = status;
    wire::encodeOptional(json, "serverPublicKey", serverPublicKey);
    return json;
}

} // namespace velquor::detail
