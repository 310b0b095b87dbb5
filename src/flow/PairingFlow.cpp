#include "flow/PairingFlow.hpp"

#include "api/LogicLayerAccess.hpp"
#include "flow/FlowErrors.hpp"
#include "jwt/JSONWebToken.hpp"
#include "log/Log.hpp"
#include "remote/wire/EnrollmentResponse.hpp"
#include "state/ItemNames.hpp"

namespace velquor::detail {

PairingFlow::PairingFlow(FlowCollaborators collaborators)
    : c_(std::move(collaborators)) {}

void PairingFlow::pair(const std::string& pairingKey, const ErrorCompletion& handler) const {
    constexpr const char* op = kPairOperation;
    VQ_LOG(LogLevel::info, kLogicLayerUnit, op, "pairingKey=" + pairingKey);

    // A device belongs to one regional data center: pairing it elsewhere would leave its key and
    // records at two services. Pairing again in the same region is fine.
    const std::string region = URLManager::regionCode(pairingKey);
    const auto storedRegion = c_.keychain.getString(items::kDataCenter).text;
    if (storedRegion && *storedRegion != region)
        return handler(flowError(ErrorCode::pairedInOtherRegion, 32, kLogicLayerUnit, op));
    const auto publicKey = c_.keychain.getDevicePublicKeyString();
    if (!publicKey)
        return handler(flowError(ErrorCode::internalFailure, 0, kLogicLayerUnit, op));
    // Only this run's token counts: one stored by an earlier run may be stale.
    const auto deviceToken = c_.push->deviceTokenString();
    if (!deviceToken)
        return handler(flowError(ErrorCode::deviceTokenMissing, 1, kLogicLayerUnit, op));

    const std::string& baseURL = c_.urlManager.baseURL(pairingKey);
    c_.communication.post(c_.requestBuilder.pairingRequest(baseURL, pairingKey, *deviceToken, *publicKey),
                          [self = shared_from_this(), deviceToken = *deviceToken, baseURL, region,
                           handler](std::optional<Json> claims, std::optional<Error> error) {
                              if (error || !claims)
                                  return handler(std::move(error));
                              self->pairingReplied(*claims, deviceToken, baseURL, region, handler);
                          });
}

void PairingFlow::pairingReplied(const Json& claims, const std::string& deviceToken,
                                 const std::string& baseURL, const std::string& region,
                                 const ErrorCompletion& handler) const {
    // The service has taken the device: it counts as paired from here on, whatever the rest of
    // the reply turns out to be.
    c_.keychain.setString(items::kIsPaired, std::string(items::kIsPaired));
    if (auto suite = c_.defaults.openSuite()) {
        suite->setBool(std::string(items::kSuiteIsPairedKey), true);
        suite->synchronize();
    }
    c_.keychain.setString(items::kDeviceTokenStr, deviceToken);
    c_.responseHandler.pairing(
        claims,
        [self = shared_from_this(), baseURL, region,
         handler](std::optional<std::string> pairingId, std::string status, std::optional<Error> error) {
            self->statusStep(pairingId, status, std::move(error), baseURL, region, handler);
        },
        handler);
}

void PairingFlow::statusStep(const std::optional<std::string>& pairingId, const std::string& status,
                             std::optional<Error> error, const std::string& baseURL,
                             const std::string& region, const ErrorCompletion& handler) const {
    if (pairingId && status == "PENDING_ACK" && !error) {
        c_.communication.post(c_.requestBuilder.finalizeRequest(baseURL, *pairingId),
                              [self = shared_from_this(), region, handler](std::optional<Json>,
                                                                           std::optional<Error> finalError) {
                                  if (!finalError)
                                      self->c_.keychain.setString(items::kDataCenter, region);
                                  handler(std::move(finalError));
                              });
        return;
    }
    // A pairing the service reports complete at once is as finished as a finalised one; without
    // its region every later request would go to North America and the region rule would no
    // longer hold for this device.
    if (status == "COMPLETED" && !error)
        c_.keychain.setString(items::kDataCenter, region);
    handler(std::move(error));
}

void PairingFlow::approve(const std::string& pairingKey, const ErrorCompletion& handler) const {
    VQ_LOG(LogLevel::info, "Core/PairingObject", "approve(completionHandler:)", "approve pairing method");
    pair(pairingKey, handler);
}

void PairingFlow::processIdToken(const std::string& idToken, const PairingCompletion& handler,
                                 const std::weak_ptr<LogicLayer>& maker) {
    static constexpr const char* op = "pair(withIdToken:completionHandler:)";
    auto fail = [](ErrorCode code, std::uint8_t internalCode,
                   const std::optional<Json>& serverError = std::nullopt) {
        return flowError(code, internalCode, kLogicLayerUnit, op, serverError);
    };

    auto token = JSONWebToken::parse(idToken);
    if (!token)
        return handler(std::nullopt, fail(ErrorCode::pairingKeyError, 18));
    const Json& payload = token->payload.jsonPayload;
    VQ_LOG(LogLevel::info, kLogicLayerUnit, op,
           "Successful JWT IDToken=" + payload.dump(-1, ' ', false, Json::error_handler_t::replace));

    auto member = payload.find("vq.enrollment");
    if (member == payload.end() || !member->is_object())
        return handler(std::nullopt, std::nullopt);
    const Json& enrollment = *member;

    std::string bytes;
    try {
        bytes = enrollment.dump();
    } catch (const Json::exception&) {
        return handler(std::nullopt, fail(ErrorCode::internalFailure, 28));
    }
    auto decoded = EnrollmentResponse::decode(std::string_view(bytes));
    if (!decoded)
        return handler(std::nullopt, fail(ErrorCode::internalFailure, 29));

    if (decoded->status == "SUCCESS" && decoded->pairingKey)
        return handler(LogicLayerAccess::makePairingObject(*decoded->pairingKey, maker), std::nullopt);

    auto serviceError = enrollment.find("error");
    if (serviceError != enrollment.end() && serviceError->is_object())
        return handler(std::nullopt, fail(ErrorCode::serverError, 26, *serviceError));
    handler(std::nullopt, fail(ErrorCode::internalFailure, decoded->status ? 30 : 31));
}

} // namespace velquor::detail
