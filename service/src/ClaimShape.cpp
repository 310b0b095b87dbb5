#include "ClaimShape.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace velquor::service {
namespace {

enum class Kind { text, boolean, object };

// One member of the device data: its type, and for texts the values allowed (none: any text),
// for Booleans the one value allowed (when fixed), for objects their members.
struct Member {
    const char* name;
    Kind kind;
    std::vector<std::string> values = {};
    std::optional<bool> fixed = std::nullopt;
    std::vector<Member> members = {};
};

const std::vector<Member>& deviceData() {
    static const std::vector<Member> description{
        {"os", Kind::object, {}, {}, {{"version", Kind::text}, {"type", Kind::text, {"IOS"}}}},
        {"model", Kind::object, {}, {}, {{"name", Kind::text}, {"marketingName", Kind::text}}},
        {"name", Kind::text},
        {"manufacturer", Kind::text, {"Apple"}},
        {"apiVersion", Kind::text, {"v1"}},
        {"sdkVersion", Kind::text},
        {"rooted", Kind::boolean, {}, false},
        {"lockEnabled", Kind::text, {"true", "false"}},
        {"locale", Kind::text},
        {"networkType", Kind::text, {"WiFi", "Cellular", "Other"}},
        {"networksInfo", Kind::text},
        {"application",
         Kind::object,
         {},
         {},
         {{"bundleId", Kind::text},
          {"version", Kind::text},
          {"name", Kind::text},
          {"pushSandbox", Kind::boolean}}},
        {"permissions",
         Kind::object,
         {},
         {},
         {{"camera", Kind::text, {"notDetermined", "restricted", "denied", "authorized", "unknown"}},
          {"location",
           Kind::text,
           {"notEnabled", "notDetermined", "restricted", "denied", "authorizedAlways", "authorizedWhenInUse",
            "unknown"}},
          {"push", Kind::text, {"notDetermined", "denied", "authorized", "unknown"}},
          {"silentPush", Kind::text, {"restricted", "denied", "available", "unknown"}}}},
    };
    return description;
}

ServiceError refusal(const std::string& target, const std::string& code, const std::string& message) {
    return ServiceError::invalidData(target, code, message);
}

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::text:
        return "a text";
    case Kind::boolean:
        return "a boolean";
    case Kind::object:
        break;
    }
    return "an object";
}

bool hasKind(const nlohmann::json& value, Kind kind) {
    switch (kind) {
    case Kind::text:
        return value.is_string();
    case Kind::boolean:
        return value.is_boolean();
    case Kind::object:
        break;
    }
    return value.is_object();
}

// The description is two levels deep, so this recursion is bounded by it, not by the input.
std::optional<ServiceError> checkObject(const nlohmann::json& object, const std::vector<Member>& members,
                                        const std::string& prefix) {
    for (const auto& member : members) {
        // The member's path is built only for a refusal: most requests pass every member.
        const auto refuse = [&](const char* code, std::string_view before, std::string_view after) {
            const std::string target = prefix + member.name;
            std::string message(before);
            message.append("\"").append(target).append("\"").append(after);
            return refusal(target, code, message);
        };
        const auto it = object.find(member.name);
        if (it == object.end())
            return refuse("DEVICE_DATA_MISSING", "The device data lacks ", ".");
        if (!hasKind(*it, member.kind))
            return refuse("DEVICE_DATA_INVALID", "", std::string(" must be ") + kindName(member.kind) + ".");
        if (member.kind == Kind::text && !member.values.empty()) {
            const auto& text = it->get_ref<const std::string&>();
            bool allowed = false;
            for (const auto& value : member.values)
                allowed = allowed || value == text;
            if (!allowed)
                return refuse("DEVICE_DATA_INVALID", "", " has a value it never takes.");
        }
        if (member.fixed && it->get<bool>() != *member.fixed)
            return refuse("DEVICE_DATA_INVALID", "", " has a value it never takes.");
        if (member.kind == Kind::object)
            if (auto refused = checkObject(*it, member.members, prefix + member.name + "."))
                return refused;
    }
    for (const auto& [name, value] : object.items()) {
        bool described = false;
        for (const auto& member : members)
            described = described || name == member.name;
        if (!described)
            return refusal(prefix + name, "DEVICE_DATA_UNEXPECTED",
                           "The device data has no member \"" + prefix + name + "\".");
    }
    return std::nullopt;
}

std::optional<ServiceError> checkFingerprint(const nlohmann::json& claims) {
    const auto fnp = claims.find("fnp");
    if (fnp == claims.end() || !fnp->is_string() || fnp->get_ref<const std::string&>().empty())
        return refusal("fnp", "CLAIM_MISSING", "The claims lack the device fingerprint \"fnp\".");
    return std::nullopt;
}

} // namespace

std::optional<ServiceError> ClaimShape::checkHeader(const ServiceToken& token) {
    const auto typ = token.header().find("typ");
    if (typ == token.header().end() || !typ->is_string() || typ->get_ref<const std::string&>() != "JWT")
        return refusal("typ", "TYPE_INVALID", "The token header's \"typ\" must be exactly \"JWT\".");
    return std::nullopt;
}

std::optional<ServiceError> ClaimShape::check(const nlohmann::json& claims, ClaimSet expected) {
    const auto metadata = claims.find("metadata");
    if (expected == ClaimSet::request) {
        if (metadata == claims.end() || !metadata->is_object())
            return refusal("metadata", "CLAIM_MISSING", "A request carries the device data in \"metadata\".");
        if (auto refused = checkObject(*metadata, deviceData(), "metadata."))
            return refused;
        return checkFingerprint(claims);
    }
    // The payload claim set: "metadata" only in its unpaired form, never the device data.
    if (metadata != claims.end()) {
        const bool unpairedForm =
            metadata->is_object() && metadata->size() == 1 && metadata->contains("application") &&
            metadata->at("application").is_object() && metadata->at("application").size() == 1 &&
            metadata->at("application").contains("bundleId") &&
            metadata->at("application").at("bundleId").is_string();
        if (!unpairedForm)
            return refusal("metadata", "CLAIM_SET_INVALID",
                           "This token carries the payload claim set, whose \"metadata\" is at most "
                           "{\"application\": {\"bundleId\"}}.");
    }
    return checkFingerprint(claims);
}

} // namespace velquor::service
