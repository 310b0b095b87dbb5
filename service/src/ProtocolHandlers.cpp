#include "ProtocolHandlers.hpp"

#include "ClaimShape.hpp"
#include "RandomIds.hpp"
#include "ServiceClock.hpp"
#include "ServiceToken.hpp"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string_view>

namespace velquor::service {
namespace {

constexpr const char* jwtType = "application/jwt";

std::string lowerTrimmed(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t");
    const auto end = text.find_last_not_of(" \t");
    std::string out(begin == std::string_view::npos ? std::string_view()
                                                    : text.substr(begin, end - begin + 1));
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string mediaType(const std::optional<std::string>& header) {
    return header ? lowerTrimmed(std::string_view(*header).substr(0, header->find(';'))) : std::string();
}

// The Accept header must name application/jwt among its media ranges.
std::optional<ServiceError> checkAccept(const ServiceRequest& request) {
    if (request.accept) {
        std::string_view list = *request.accept;
        while (!list.empty()) {
            const auto comma = list.find(',');
            const auto range = list.substr(0, comma);
            if (lowerTrimmed(range.substr(0, range.find(';'))) == jwtType)
                return std::nullopt;
            list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        }
    }
    return ServiceError::notAcceptable(request.accept.value_or(""));
}

std::optional<ServiceError> checkJwtRequest(const ServiceRequest& request) {
    if (request.multipart || mediaType(request.contentType) != jwtType)
        return ServiceError::unsupportedMediaType(jwtType, request.contentType.value_or(""));
    return checkAccept(request);
}

const nlohmann::json* member(const nlohmann::json& object, const char* name) {
    const auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> textMember(const nlohmann::json& object, const char* name) {
    const auto* value = member(object, name);
    if (!value || !value->is_string())
        return std::nullopt;
    return value->get<std::string>();
}

std::string marketingNameOf(const nlohmann::json& claims) {
    const auto* metadata = member(claims, "metadata");
    const auto* model = metadata && metadata->is_object() ? member(*metadata, "model") : nullptr;
    if (model && model->is_object()) {
        for (const char* name : {"marketingName", "name"})
            if (auto text = textMember(*model, name); text && !text->empty())
                return *text;
    }
    return "Unknown device";
}

bool sandboxOf(const nlohmann::json& claims) {
    const auto* metadata = member(claims, "metadata");
    const auto* application = metadata && metadata->is_object() ? member(*metadata, "application") : nullptr;
    const auto* sandbox =
        application && application->is_object() ? member(*application, "pushSandbox") : nullptr;
    return sandbox && sandbox->is_boolean() && sandbox->get<bool>();
}

std::string sha256Hex(const std::string& bytes) {
    ServiceKeys::Sha256 digest;
    if (!ServiceKeys::sha256(bytes, digest))
        throw std::runtime_error("cannot compute a SHA-256"); // answered as the service's own failure
    return ServiceKeys::hex(digest);
}

nlohmann::json deviceWireRecord(const DeviceRecord& device,
                                const std::optional<LogRequestRecord>& logRequest) {
    nlohmann::json record{{"id", device.id},
                          {"status", device.finalized ? "ACTIVE" : "PENDING_ACK"},
                          {"createdAt", device.createdAt},
                          {"updatedAt", device.updatedAt},
                          {"environment", {{"id", "environment-" + lowerTrimmed(device.region)}}},
                          {"user", {{"id", device.userId}}},
                          {"application", {{"id", device.installedApplicationId}}}};
    if (logRequest)
        record["logs"] = {{"status", "PENDING"},
                          {"level", logRequest->level},
                          {"supportID", logRequest->supportId},
                          {"receivedAt", logRequest->receivedAt}};
    return record;
}

// The one path segment between `prefix` and `suffix` when `path` is exactly those three (a
// segment is non-empty and has no "/"). Plain comparisons rather than std::regex: every
// request is routed through here.
std::optional<std::string> segmentBetween(std::string_view path, std::string_view prefix,
                                          std::string_view suffix) {
    if (path.size() <= prefix.size() + suffix.size() || !path.starts_with(prefix) || !path.ends_with(suffix))
        return std::nullopt;
    const auto segment = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    if (segment.find('/') != std::string_view::npos)
        return std::nullopt;
    return std::string(segment);
}

constexpr std::string_view finalizePrefix = "v1/pairings/";
constexpr std::string_view pushTokenPrefix = "v1/installedApplications/";
constexpr std::string_view pushTokenSuffix = "/updatePushToken";

} // namespace

bool ProtocolHandlers::isProtocolPath(const std::string& path) {
    return path == "v1/pairings" || path == "v1/deviceInfo" || path == "v1/push/check" || path == "v1/logs" ||
           segmentBetween(path, finalizePrefix, "") || segmentBetween(path, pushTokenPrefix, pushTokenSuffix);
}

ServiceReply ProtocolHandlers::handle(const ServiceRequest& request) {
    if (!isProtocolPath(request.path))
        return ServiceReply::refusal(
            ServiceError::notFound("path", "No request kind has the path " + request.path + "."));
    if (request.method != "POST")
        return ServiceReply::refusal({405, "METHOD_NOT_ALLOWED", "Requests to the service are POSTs.", {}});
    // Only a push check carries a query (the one of its notification link, plus "bundleId").
    if (request.path != "v1/push/check" && !request.query.empty())
        return ServiceReply::refusal(ServiceError::invalidData(
            request.query.begin()->first, "QUERY_UNEXPECTED", "This request address takes no query."));
    if (request.path == "v1/pairings")
        return pairing(request);
    if (request.path == "v1/logs")
        return logs(request);

    const auto finalizeId = segmentBetween(request.path, finalizePrefix, "");
    const auto pushTokenId =
        finalizeId ? std::nullopt : segmentBetween(request.path, pushTokenPrefix, pushTokenSuffix);
    if (auto refused = checkJwtRequest(request))
        return ServiceReply::refusal(*refused);
    auto authenticated = authenticator_.authenticate(request.body, *request.region, ClaimSet::request);
    if (auto* refused = std::get_if<ServiceError>(&authenticated))
        return ServiceReply::refusal(*refused);
    const auto& caller = std::get<AuthenticatedRequest>(authenticated);
    if (finalizeId)
        return finalize(caller, *finalizeId);
    if (pushTokenId)
        return updatePushToken(caller, *pushTokenId);
    if (request.path == "v1/deviceInfo")
        return deviceInfo(caller);
    return validatePush(request, caller);
}

ServiceReply ProtocolHandlers::pairing(const ServiceRequest& request) {
    if (auto refused = checkJwtRequest(request))
        return ServiceReply::refusal(*refused);
    std::string problem;
    const auto token = ServiceToken::parse(request.body, problem);
    if (!token)
        return ServiceReply::refusal(ServiceError::invalidData(
            "token", "MALFORMED_TOKEN", "The request token is malformed: " + problem + "."));
    if (auto refused = ClaimShape::checkHeader(*token))
        return ServiceReply::refusal(*refused);
    const auto& claims = token->claims();
    const auto pairingKey = textMember(claims, "pairingKey");
    if (!pairingKey || pairingKey->empty())
        return ServiceReply::refusal(ServiceError::invalidData("pairingKey", "PAIRING_KEY_MISSING",
                                                               "The request carries no pairing key."));
    const auto* mobileDevice = member(claims, "mobileDevice");
    const auto publicKeyText =
        mobileDevice && mobileDevice->is_object() ? textMember(*mobileDevice, "publicKey") : std::nullopt;
    if (!publicKeyText)
        return ServiceReply::refusal(ServiceError::invalidData(
            "publicKey", "PUBLIC_KEY_MISSING", "\"mobileDevice\".\"publicKey\" must be a text."));
    const auto publicKey = ServiceKeys::fromPublicBase64(*publicKeyText, problem);
    if (!publicKey)
        return ServiceReply::refusal(ServiceError::invalidData(
            "publicKey", "PUBLIC_KEY_INVALID", "The device public key is unusable: " + problem + "."));
    const auto* application = member(claims, "installedApplication");
    const auto pushToken =
        application && application->is_object() ? textMember(*application, "pushToken") : std::nullopt;
    if (!pushToken)
        return ServiceReply::refusal(ServiceError::invalidData(
            "pushToken", "PUSH_TOKEN_MISSING", "\"installedApplication\".\"pushToken\" must be a text."));
    if (auto refused = ClaimShape::check(claims, ClaimSet::request))
        return ServiceReply::refusal(*refused);

    // A device that pairs again signs with the key it carries; a new one sends the token unsigned.
    if (token->algorithm() == "none") {
        if (!token->hasEmptySignature())
            return ServiceReply::refusal(ServiceError::unauthorized(
                "signature", "SIGNATURE_INVALID", "An unsigned token must have an empty signature segment."));
    } else if (token->algorithm() != "RS256") {
        return ServiceReply::refusal(ServiceError::unauthorized("alg", "UNSUPPORTED_ALGORITHM",
                                                                "A pairing token is unsigned or RS256, not " +
                                                                    token->algorithm() + "."));
    } else if (!token->isSignedBy(*publicKey)) {
        return ServiceReply::refusal(ServiceError::unauthorized(
            "signature", "SIGNATURE_INVALID",
            "The signature does not verify with the public key the request carries."));
    }
    if (auto stale = authenticator_.checkFreshness(claims, true))
        return ServiceReply::refusal(*stale);
    if (auto replayed = authenticator_.recordTokenId(claims))
        return ServiceReply::refusal(*replayed);

    const int64_t now = nowSeconds();
    DeviceRecord device;
    device.id = RandomIds::uuid();
    device.installedApplicationId = RandomIds::uuid();
    device.pairingId = RandomIds::uuid();
    device.publicKey = publicKey->publicKeyBase64();
    device.marketingName = marketingNameOf(claims);
    device.pushToken = *pushToken;
    device.sandbox = sandboxOf(claims);
    device.bundleId = claims.at("metadata").at("application").at("bundleId").get<std::string>();
    device.createdAt = now;
    device.updatedAt = now;
    const Region region = *request.region;
    switch (store_.pairDevice(*pairingKey, region, device)) {
    case PairingOutcome::paired:
        break;
    case PairingOutcome::unknownKey:
        return ServiceReply::refusal(ServiceError::invalidData("pairingKey", "PAIRING_KEY_NOT_FOUND",
                                                               "The pairing key is not known."));
    case PairingOutcome::wrongRegion: {
        const auto issuedIn = store_.pairingKeyRegion(*pairingKey);
        return ServiceReply::refusal(ServiceError::invalidData(
            "pairingKey", "PAIRING_KEY_WRONG_REGION", "The pairing key was issued for another region.",
            issuedIn ? regionCode(*issuedIn) : std::string(), regionCode(region)));
    }
    case PairingOutcome::usedKey:
        return ServiceReply::refusal(
            ServiceError::invalidData("pairingKey", "PAIRING_KEY_USED", "The pairing key was already used."));
    }
    return ServiceReply::token(
        201, {{"id", device.pairingId},
              {"status", "PENDING_ACK"},
              {"mobileDevice", {{"id", device.id}, {"marketingName", device.marketingName}}},
              {"installedApplication", {{"id", device.installedApplicationId}}},
              {"serverPublicKey", serviceKey_.publicKeyBase64()}});
}

ServiceReply ProtocolHandlers::finalize(const AuthenticatedRequest& caller, const std::string& pairingId) {
    if (pairingId != caller.device.pairingId)
        return ServiceReply::refusal(
            ServiceError::notFound("pairingId", "The signing device has no pairing " + pairingId + "."));
    store_.setFinalized(caller.device.id, nowSeconds());
    return ServiceReply::token(200, {{"id", pairingId}, {"status", "COMPLETED"}});
}

ServiceReply ProtocolHandlers::updatePushToken(const AuthenticatedRequest& caller,
                                               const std::string& installedApplicationId) {
    if (installedApplicationId != caller.device.installedApplicationId)
        return ServiceReply::refusal(ServiceError::forbidden(
            "installedApplicationId",
            "The address names another installed application than the signing device's."));
    const auto token = textMember(caller.claims, "token");
    if (!token)
        return ServiceReply::refusal(
            ServiceError::invalidData("token", "PUSH_TOKEN_MISSING", "\"token\" must be a text."));
    store_.setPushToken(caller.device.id, *token, sandboxOf(caller.claims), nowSeconds());
    return ServiceReply::token(
        200, {{"installedApplication", {{"id", installedApplicationId}, {"pushToken", *token}}}});
}

ServiceReply ProtocolHandlers::deviceInfo(const AuthenticatedRequest& caller) {
    const auto& device = caller.device;
    nlohmann::json publicRecord{{"id", device.id},
                                {"marketingName", device.marketingName},
                                {"region", device.region},
                                {"pushToken", device.pushToken ? nlohmann::json(*device.pushToken) : nullptr},
                                {"createdAt", device.createdAt}};
    nlohmann::json devices = nlohmann::json::array({deviceWireRecord(device, store_.logRequest(device.id))});
    return ServiceReply::token(200, {{"public", std::move(publicRecord)}, {"devices", std::move(devices)}});
}

ServiceReply ProtocolHandlers::validatePush(const ServiceRequest& request,
                                            const AuthenticatedRequest& caller) {
    // The client appends its bundle id to the notification's link: exactly once, and the one it paired with.
    const auto bundleIds = request.query.equal_range("bundleId");
    const auto bundleIdCount = std::distance(bundleIds.first, bundleIds.second);
    if (bundleIdCount != 1)
        return ServiceReply::refusal(ServiceError::invalidData(
            "bundleId", bundleIdCount == 0 ? "BUNDLE_ID_MISSING" : "BUNDLE_ID_REPEATED",
            "The push check address carries exactly one \"bundleId\" query item."));
    if (bundleIds.first->second != caller.device.bundleId)
        return ServiceReply::refusal(ServiceError::invalidData(
            "bundleId", "BUNDLE_ID_MISMATCH", "\"bundleId\" is not the bundle id the device paired with.",
            caller.device.bundleId, bundleIds.first->second));
    const auto id = request.query.find("authenticationId");
    if (id == request.query.end() || id->second.empty())
        return ServiceReply::refusal(ServiceError::invalidData(
            "authenticationId", "AUTHENTICATION_ID_MISSING", "The address carries no authenticationId."));
    const auto record = store_.authentication(id->second);
    if (!record)
        return ServiceReply::refusal(
            ServiceError::notFound("authenticationId", "No authentication " + id->second + " exists."));
    if (record->deviceId != caller.device.id)
        return ServiceReply::refusal(ServiceError::forbidden(
            "authenticationId", "Only the authentication's own device may answer it."));
    const auto action = textMember(caller.claims, "action");
    if (action != "APPROVE" && action != "DENY")
        return ServiceReply::refusal(
            ServiceError::invalidData("action", "ACTION_INVALID", "\"action\" must be APPROVE or DENY."));
    std::optional<std::string> method;
    if (const auto* value = member(caller.claims, "method"); value && !value->is_null()) {
        if (!value->is_string())
            return ServiceReply::refusal(
                ServiceError::invalidData("method", "METHOD_INVALID", "\"method\" must be a text."));
        method = value->get<std::string>();
    }
    bool isBanner = false;
    if (const auto* value = member(caller.claims, "isBanner"); value && !value->is_null()) {
        if (!value->is_boolean())
            return ServiceReply::refusal(ServiceError::invalidData("isBanner", "IS_BANNER_INVALID",
                                                                   "\"isBanner\" must be a boolean."));
        isBanner = value->get<bool>();
    }
    const auto alreadyAnswered = [] {
        return ServiceReply::refusal(ServiceError::conflict("authenticationId",
                                                            "AUTHENTICATION_ALREADY_ANSWERED",
                                                            "This authentication was already answered."));
    };
    if (record->status != "PENDING")
        return alreadyAnswered();
    if (nowMilliseconds() >= record->expiresAtMs) {
        ServiceError timedOut{410,
                              "PUSH_CONFIRMATION_FAILED",
                              "The answer came after the authentication had timed out.",
                              {{"PUSH_CONFIRMATION_TIMED_OUT", "The authentication timed out.",
                                "authenticationId", "PENDING", "PUSH_CONFIRMATION_TIMED_OUT"}}};
        return ServiceReply::refusal(timedOut);
    }
    const std::string status = *action == "APPROVE" ? "APPROVED" : "DENIED";
    if (!store_.answerAuthentication(record->id, status, method, isBanner, caller.claims.dump()))
        return alreadyAnswered();
    return ServiceReply::token(200, {{"authenticationId", record->id}, {"status", status}});
}

ServiceReply ProtocolHandlers::logs(const ServiceRequest& request) {
    if (!request.multipart || mediaType(request.contentType) != "multipart/form-data")
        return ServiceReply::refusal(
            ServiceError::unsupportedMediaType("multipart/form-data", request.contentType.value_or("")));
    if (auto refused = checkAccept(request))
        return ServiceReply::refusal(*refused);
    if (!request.logsToken)
        return ServiceReply::refusal(
            ServiceError::unauthorized("Marvis-Mobile-Logs", "TOKEN_MISSING",
                                       "The upload token travels in the Marvis-Mobile-Logs header."));
    auto authenticated = authenticator_.authenticate(*request.logsToken, *request.region, ClaimSet::payload);
    if (auto* refused = std::get_if<ServiceError>(&authenticated))
        return ServiceReply::refusal(*refused);
    const auto& caller = std::get<AuthenticatedRequest>(authenticated);

    if (request.parts.size() != 1 || request.parts[0].name != "log-file" ||
        request.parts[0].filename != "velquorv2.zip" ||
        lowerTrimmed(request.parts[0].contentType) != "application/zip")
        return ServiceReply::refusal(
            ServiceError::invalidData("log-file", "LOG_FILE_INVALID",
                                      "The body must hold exactly one part \"log-file\" with the file "
                                      "velquorv2.zip of type application/zip."));
    const auto& archive = request.parts[0].content;
    const auto claimed = textMember(caller.claims, "sha256");
    const auto actual = sha256Hex(archive);
    if (claimed != actual)
        return ServiceReply::refusal(ServiceError::invalidData(
            "sha256", "DIGEST_MISMATCH", "\"sha256\" is not the SHA-256 of the archive received.", actual,
            claimed.value_or("")));
    static const std::regex supportIdForm("0|[1-9][0-9]{0,8}");
    const auto supportId = textMember(caller.claims, "supportId");
    if (!supportId || !std::regex_match(*supportId, supportIdForm))
        return ServiceReply::refusal(ServiceError::invalidData(
            "supportId", "SUPPORT_ID_INVALID", "\"supportId\" must be decimal text of at most nine digits."));
    const UploadRecord upload{*supportId, caller.device.id, actual, static_cast<int64_t>(archive.size()),
                              nowSeconds()};
    switch (store_.storeUpload(upload, archive, maxUploadBytes_)) {
    case UploadOutcome::stored:
        break;
    case UploadOutcome::supportIdTaken:
        return ServiceReply::refusal(ServiceError::conflict("supportId", "SUPPORT_ID_TAKEN",
                                                            "An archive with this support id exists."));
    case UploadOutcome::overLimit:
        return ServiceReply::refusal(
            ServiceError::payloadTooLarge("The archives received would exceed the service's upload limit."));
    }
    return ServiceReply::token(201, {{"supportId", *supportId}});
}

} // namespace velquor::service
