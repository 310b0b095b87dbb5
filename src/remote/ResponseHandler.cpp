#include "remote/ResponseHandler.hpp"

#include "log/Log.hpp"
#include "remote/ErrorBuilder.hpp"
#include "remote/wire/DevicesResponse.hpp"
#include "remote/wire/PairingResponse.hpp"

namespace velquor::detail {

namespace {

constexpr const char* kUnit = "Core/ResponseHandler";
constexpr const char* kPairing = "pairing(_:completionHandler:)";
constexpr const char* kDeviceInfo = "deviceInfo(_:completionHandler:)";

Error failure(std::uint8_t internalCode, const char* operation) {
    Error error = ErrorBuilder::build(ErrorCode::internalFailure, internalCode);
    log(error, LogLevel::error, kUnit, __LINE__, operation);
    return error;
}

// The claims as JSON text; nothing when they hold what JSON cannot carry.
std::optional<std::string> serialised(const Json& claims) {
    try {
        return claims.dump();
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

} // namespace

ResponseHandler::ResponseHandler(Keychain keychain)
    : keychain_(std::move(keychain)) {}

void ResponseHandler::pairing(const Json& claims, const StatusStep& statusStep,
                              const ErrorHandler& handler) const {
    const auto text = serialised(claims);
    if (!text)
        return handler(failure(2, kPairing));
    const auto reply = PairingResponse::decode(std::string_view(*text));
    if (!reply)
        return handler(failure(3, kPairing));

    // Failed writes are not reported: the status step decides what the pairing has come to.
    if (const auto& device = reply->mobileDevice) {
        if (device->id)
            keychain_.setString(items::kMobileDeviceID, *device->id);
        if (device->marketingName)
            keychain_.setString(items::kDeviceMarketName, *device->marketingName);
    }
    if (reply->installedApplication && reply->installedApplication->id)
        keychain_.setString(items::kInstalledApplicationID, *reply->installedApplication->id);
    if (reply->serverPublicKey)
        if (auto error = keychain_.setServerPublicKey(*reply->serverPublicKey)) {
            // The key store logs the refusals it builds itself (5), not an undecodable key (4).
            if (error->userInfo().value("internalErrorCode", 0) != 20005)
                log(*error, LogLevel::error, kUnit, __LINE__, kPairing);
            return handler(error);
        }
    statusStep(reply->id, reply->status, std::nullopt);
}

void ResponseHandler::deviceInfo(const Json& claims, const std::function<void()>& sendLogs,
                                 const DeviceInfoHandler& handler) const {
    const auto fail = [&](std::uint8_t internalCode) {
        Error error = failure(internalCode, kDeviceInfo);
        if (handler)
            handler(std::nullopt, error);
    };
    const auto publicRecord = claims.find("public");
    if (publicRecord == claims.end() || !publicRecord->is_object())
        return fail(52);
    const auto text = serialised(claims);
    if (!text)
        return fail(49);
    const auto reply = DevicesResponse::decode(std::string_view(*text));
    if (!reply)
        return fail(50);
    if (!reply->devices)
        return fail(53);

    for (const Device& device : *reply->devices)
        if (device.logs && device.logs->status == "PENDING") {
            VQ_LOG(LogLevel::info, kUnit, kDeviceInfo, "The service asks for the logs");
            if (sendLogs)
                sendLogs();
            break;
        }
    if (handler)
        handler(*publicRecord, std::nullopt);
}

} // namespace velquor::detail
