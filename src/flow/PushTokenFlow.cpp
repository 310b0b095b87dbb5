#include "flow/PushTokenFlow.hpp"

#include "flow/FlowErrors.hpp"
#include "log/Log.hpp"
#include "state/ItemNames.hpp"

namespace velquor::detail {
namespace {

// Lower-case hexadecimal, two digits per byte, in byte order.
std::string tokenText(const std::vector<std::uint8_t>& token) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(token.size() * 2);
    for (std::uint8_t byte : token) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

// First three characters, "***", last three: the token never reaches the log whole.
std::string maskedToken(const std::string& text) {
    if (text.size() < 3)
        return text + "***" + text;
    return text.substr(0, 3) + "***" + text.substr(text.size() - 3);
}

} // namespace

PushTokenFlow::PushTokenFlow(FlowCollaborators collaborators)
    : c_(std::move(collaborators)) {}

void PushTokenFlow::setDeviceToken(const std::vector<std::uint8_t>& deviceToken, APNSDeviceTokenType type,
                                   const ErrorCompletion& handler) const {
    constexpr const char* op = "setDeviceToken(_:type:completionHandler:)";
    std::string token = tokenText(deviceToken);
    VQ_LOG(LogLevel::info, kLogicLayerUnit, op, "deviceToken=" + maskedToken(token));
    const bool sandbox = type == APNSDeviceTokenType::sandbox;
    c_.push->setDeviceTokenString(token);
    c_.push->setIsApnsSandbox(sandbox);
    c_.dataManager->setApnsSandbox(sandbox);

    // Not paired yet, or the service already has this token: the token stays in memory for
    // pairing and there is nothing to tell the service.
    auto stored = c_.keychain.getString(items::kDeviceTokenStr).text;
    if (!stored || !c_.keychain.isPaired() || *stored == token)
        return handler(std::nullopt);
    const auto installedApplicationId = c_.keychain.getString(items::kInstalledApplicationID).text;
    if (!installedApplicationId)
        return handler(flowError(ErrorCode::internalFailure, 6, kLogicLayerUnit, op));

    const std::string& baseURL =
        c_.urlManager.baseURLForDataCenter(c_.keychain.getString(items::kDataCenter).text);
    // The sandbox flag reaches the service with the device data of the request token.
    c_.communication.post(
        c_.requestBuilder.updatePushTokenRequest(baseURL, token, *installedApplicationId),
        [self = shared_from_this(), deviceToken, handler](std::optional<Json>, std::optional<Error> error) {
            // Stored only once the service has it, so a failed update is sent
            // again by the next call with the same token.
            if (!error)
                self->c_.keychain.setString(items::kDeviceTokenStr, tokenText(deviceToken));
            handler(std::move(error));
        });
}

} // namespace velquor::detail
