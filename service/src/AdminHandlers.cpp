#include "AdminHandlers.hpp"

#include "BoundedJson.hpp"
#include "RandomIds.hpp"
#include "ServiceBase64.hpp"
#include "ServiceClock.hpp"
#include "ServiceToken.hpp"

#include <regex>

namespace velquor::service {
namespace {

constexpr int64_t defaultTimeoutSeconds = 45;
constexpr int64_t longestTimeoutSeconds = 7 * 24 * 60 * 60;

nlohmann::json nullable(const std::optional<std::string>& text) {
    return text ? nlohmann::json(*text) : nlohmann::json(nullptr);
}

// The status an observer sees: a PENDING authentication past its deadline has EXPIRED.
std::string observedStatus(const AuthenticationRecord& record) {
    if (record.status == "PENDING" && nowMilliseconds() >= record.expiresAtMs)
        return "EXPIRED";
    return record.status;
}

nlohmann::json authenticationJson(const AuthenticationRecord& record) {
    return {{"id", record.id},
            {"deviceId", record.deviceId},
            {"status", observedStatus(record)},
            {"method", nullable(record.method)},
            {"isBanner", record.isBanner ? nlohmann::json(*record.isBanner) : nlohmann::json(nullptr)}};
}

std::optional<Region> regionOf(const nlohmann::json& body, ServiceError& error) {
    const auto it = body.find("region");
    if (it != body.end() && it->is_string())
        if (auto region = regionFromCode(it->get<std::string>()))
            return region;
    error =
        ServiceError::invalidData("region", "REGION_INVALID", "\"region\" must be \"NA\", \"EU\" or \"AU\".");
    return std::nullopt;
}

} // namespace

ServiceReply AdminHandlers::handle(const ServiceRequest& request) {
    static const std::regex devicePath("devices/([^/]+)/(authentications|log-requests)");
    static const std::regex authenticationPath("authentications/([^/]+)");
    static const std::regex uploadPath("uploads/([^/]+)");

    nlohmann::json body = nlohmann::json::object();
    if (request.method == "POST" && !request.body.empty()) {
        auto parsed = BoundedJson::parse(request.body);
        if (!parsed || !parsed->is_object())
            return ServiceReply::jsonRefusal(ServiceError::invalidRequest(
                "The admin request body must be a JSON object nesting at most 64 deep."));
        body = std::move(*parsed);
    }
    std::smatch match;
    const auto& path = request.path;
    if (request.method == "POST") {
        if (path == "pairing-keys")
            return createPairingKey(body);
        if (path == "identity-tokens")
            return createIdentityToken(body);
        if (path == "faults")
            return addFault(body);
        if (std::regex_match(path, match, devicePath))
            return match[2] == "authentications" ? createAuthentication(match[1].str(), body)
                                                 : openLogRequest(match[1].str(), body);
    } else if (request.method == "GET") {
        if (path == "state")
            return state();
        if (std::regex_match(path, match, authenticationPath))
            return authenticationState(match[1].str());
        if (std::regex_match(path, match, uploadPath))
            return upload(match[1].str());
    } else if (request.method == "DELETE" && path == "faults") {
        faults_.clear();
        return ServiceReply::json(200, {{"faults", 0}});
    }
    return ServiceReply::jsonRefusal(ServiceError::notFound(
        "path", "The admin interface has no " + request.method + " admin/" + path + "."));
}

std::string AdminHandlers::issuePairingKey(Region region, std::string& userId) {
    userId = RandomIds::uuid();
    for (;;) {
        auto key = RandomIds::pairingKey(region);
        if (store_.insertPairingKey(key, region, userId, nowSeconds()))
            return key;
    }
}

ServiceReply AdminHandlers::createPairingKey(const nlohmann::json& body) {
    ServiceError error;
    const auto region = regionOf(body, error);
    if (!region)
        return ServiceReply::jsonRefusal(error);
    std::string userId;
    return ServiceReply::json(201, {{"pairingKey", issuePairingKey(*region, userId)}});
}

ServiceReply AdminHandlers::createIdentityToken(const nlohmann::json& body) {
    ServiceError error;
    const auto region = regionOf(body, error);
    if (!region)
        return ServiceReply::jsonRefusal(error);
    std::string userId;
    const auto key = issuePairingKey(*region, userId);
    const int64_t now = nowSeconds();
    const nlohmann::json claims{{"iss", "velquor-reference-service"},
                                {"sub", userId},
                                {"iat", now},
                                {"exp", now + 3600},
                                {"jti", RandomIds::uuid()},
                                {"vq.enrollment", {{"status", "SUCCESS"}, {"pairingKey", key}}}};
    const auto token = ServiceToken::signRS256(claims, serviceKey_);
    if (!token)
        return ServiceReply::jsonRefusal(ServiceError::internal("The identity token could not be signed."));
    return ServiceReply::json(201, {{"idToken", *token}, {"pairingKey", key}});
}

ServiceReply AdminHandlers::createAuthentication(const std::string& deviceId, const nlohmann::json& body) {
    const auto device = store_.device(deviceId);
    if (!device)
        return ServiceReply::jsonRefusal(
            ServiceError::notFound("mobileDeviceId", "No device " + deviceId + " exists."));
    int64_t timeout = defaultTimeoutSeconds;
    if (const auto it = body.find("timeoutSeconds"); it != body.end()) {
        if (!it->is_number_integer() || it->get<int64_t>() < 0 || it->get<int64_t>() > longestTimeoutSeconds)
            return ServiceReply::jsonRefusal(
                ServiceError::invalidData("timeoutSeconds", "TIMEOUT_INVALID",
                                          "\"timeoutSeconds\" must be an integer from 0 to 604800."));
        timeout = it->get<int64_t>();
    }
    AuthenticationRecord record;
    record.id = RandomIds::uuid();
    record.deviceId = deviceId;
    record.status = "PENDING";
    record.createdAtMs = nowMilliseconds();
    record.expiresAtMs = record.createdAtMs + timeout * 1000;
    store_.insertAuthentication(record);

    const auto region = regionFromCode(device->region).value_or(Region::na);
    const std::string href = baseURL_(region) + "v1/push/check?authenticationId=" + record.id;
    const nlohmann::json notification{
        {"type", "AUTHENTICATION"},
        {"timeout", {{"duration", timeout}}},
        {"_links", {{"push.check", {{"href", href}, {"content-type", "application/jwt"}}}}}};
    return ServiceReply::json(201, {{"authenticationId", record.id},
                                    {"userInfo", {{"Velquor", ServiceBase64::encode(notification.dump())}}}});
}

ServiceReply AdminHandlers::authenticationState(const std::string& id) {
    const auto record = store_.authentication(id);
    if (!record)
        return ServiceReply::jsonRefusal(
            ServiceError::notFound("authenticationId", "No authentication " + id + " exists."));
    auto json = authenticationJson(*record);
    // The answer exactly as the device sent it, so a member left out shows as left out.
    auto answer = record->answer ? BoundedJson::parse(*record->answer) : std::nullopt;
    return ServiceReply::json(200, {{"status", json["status"]},
                                    {"method", json["method"]},
                                    {"isBanner", json["isBanner"]},
                                    {"answer", answer ? std::move(*answer) : nlohmann::json(nullptr)}});
}

ServiceReply AdminHandlers::openLogRequest(const std::string& deviceId, const nlohmann::json& body) {
    if (!store_.device(deviceId))
        return ServiceReply::jsonRefusal(
            ServiceError::notFound("mobileDeviceId", "No device " + deviceId + " exists."));
    std::string level = "DEBUG";
    if (const auto it = body.find("level"); it != body.end()) {
        if (!it->is_string() || it->get<std::string>().empty())
            return ServiceReply::jsonRefusal(
                ServiceError::invalidData("level", "LEVEL_INVALID", "\"level\" must be a non-empty text."));
        level = it->get<std::string>();
    }
    const LogRequestRecord record{deviceId, level, RandomIds::supportId(), nowSeconds()};
    store_.openLogRequest(record);
    return ServiceReply::json(201, {{"deviceId", deviceId},
                                    {"status", "PENDING"},
                                    {"level", record.level},
                                    {"supportID", record.supportId},
                                    {"receivedAt", record.receivedAt}});
}

ServiceReply AdminHandlers::upload(const std::string& supportId) {
    auto data = store_.uploadData(supportId);
    if (!data)
        return ServiceReply::jsonRefusal(
            ServiceError::notFound("supportId", "No archive has the support id " + supportId + "."));
    return ServiceReply::raw(200, std::move(*data), "application/zip");
}

ServiceReply AdminHandlers::state() {
    auto devices = nlohmann::json::array();
    for (const auto& device : store_.devices())
        devices.push_back({{"id", device.id},
                           {"region", device.region},
                           {"installedApplicationId", device.installedApplicationId},
                           {"pushToken", nullable(device.pushToken)},
                           {"sandbox", device.sandbox},
                           {"finalized", device.finalized}});
    auto uploads = nlohmann::json::array();
    for (const auto& upload : store_.uploads())
        uploads.push_back({{"supportId", upload.supportId},
                           {"deviceId", upload.deviceId},
                           {"sha256", upload.sha256},
                           {"size", upload.size}});
    auto authentications = nlohmann::json::array();
    for (const auto& record : store_.authentications())
        authentications.push_back(authenticationJson(record));
    return ServiceReply::json(200, {{"devices", std::move(devices)},
                                    {"uploads", std::move(uploads)},
                                    {"authentications", std::move(authentications)}});
}

ServiceReply AdminHandlers::addFault(const nlohmann::json& body) {
    ServiceError error;
    auto fault = FaultInjector::parse(body, error);
    if (!fault)
        return ServiceReply::jsonRefusal(error);
    faults_.add(std::move(*fault));
    return ServiceReply::json(201, {{"added", true}});
}

} // namespace velquor::service
