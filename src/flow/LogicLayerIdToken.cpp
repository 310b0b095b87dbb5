// Pairing through an identity token: the host hands over a compact JWT whose "vq.enrollment"
// claim carries a pairing key. Runs wholly on the caller's thread and stores nothing; the token's
// signature is not checked here, because nothing is trusted from it but a key the service itself
// will judge when the host approves the pairing.
#include "api/LogicLayerAccess.hpp"
#include "flow/Completion.hpp"
#include "flow/LogicLayer.hpp"
#include "jwt/JSONWebToken.hpp"
#include "log/Log.hpp"
#include "remote/wire/EnrollmentResponse.hpp"

namespace velquor::detail {

void LogicLayer::pairWithIdToken(const std::string& idToken, PairingHandler completionHandler) {
    constexpr const char* op = "pair(withIdToken:completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    auto answer = [&](std::optional<PairingObject> object, std::optional<Error> error) {
        handler(std::move(object), std::move(error));
    };

    auto token = JSONWebToken::parse(idToken);
    if (!token)
        return answer(std::nullopt, fail(ErrorCode::pairingKeyError, 18, op));
    const Json& payload = token->payload.jsonPayload;
    VQ_LOG(LogLevel::info, kUnit, op,
           "Successful JWT IDToken=" + payload.dump(-1, ' ', false, Json::error_handler_t::replace));

    auto member = payload.find("vq.enrollment");
    if (member == payload.end() || !member->is_object())
        return answer(std::nullopt, std::nullopt);
    const Json& enrollment = *member;

    std::string bytes;
    try {
        bytes = enrollment.dump();
    } catch (const Json::exception&) {
        return answer(std::nullopt, fail(ErrorCode::internalFailure, 28, op));
    }
    auto decoded = EnrollmentResponse::decode(std::string_view(bytes));
    if (!decoded)
        return answer(std::nullopt, fail(ErrorCode::internalFailure, 29, op));

    if (decoded->status == "SUCCESS" && decoded->pairingKey)
        return answer(LogicLayerAccess::makePairingObject(*decoded->pairingKey), std::nullopt);

    auto serviceError = enrollment.find("error");
    if (serviceError != enrollment.end() && serviceError->is_object())
        return answer(std::nullopt, fail(ErrorCode::serverError, 26, op, *serviceError));
    answer(std::nullopt, fail(ErrorCode::internalFailure, decoded->status ? 30 : 31, op));
}

} // namespace velquor::detail
