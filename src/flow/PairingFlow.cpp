#include "flow/PairingFlow.hpp"

#include "api/LogicLayerAccess.hpp"
#include "flow/FlowErrors.hpp"
#include "jwt/JSONWebToken.hpp"
#include "log/Log.hpp"
#include "remote/wire/EnrollmentResponse.hpp"

namespace velquor::detail {

PairingFlow::PairingFlow(FlowCollaborators collaborators)
    : c_(std::move(collaborators)) {}

void PairingFlow::pair(const std::string& pairingKey, const ErrorCompletion& handler) const {
    constexpr const char* op = "pair(withPairingKey:completionHandler:)";
    VQ_LOG(LogLevel::info, kLogicLayerUnit, op, "pairingKey=" + pairingKey);
    handler(notAvailable(op));
}

void PairingFlow::approve(const std::string& pairingKey, const ErrorCompletion& handler) const {
    VQ_LOG(LogLevel::info, "Core/PairingObject", "approve(completionHandler:)", "approve pairing method");
    pair(pairingKey, handler);
}

void PairingFlow::processIdToken(const std::string& idToken, const PairingCompletion& handler,
                                 const std::weak_ptr<LogicLayer>& maker) {
    constexpr const char* op = "pair(withIdToken:completionHandler:)";
    auto fail = [op](ErrorCode code, std::uint8_t internalCode,
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
