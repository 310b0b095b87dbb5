#include "flow/NotificationFlow.hpp"

#include "api/LogicLayerAccess.hpp"
#include "flow/FlowErrors.hpp"
#include "log/Log.hpp"
#include "util/AnswerAddress.hpp"

#include <exception>

namespace velquor::detail {

namespace {

constexpr const char* kPushManagerUnit = "Core/PushManager";
constexpr const char* kValidatePush =
    "validatePush(action:isBanner:urlStr:authenticationMethod:completionHandler:)";
constexpr long kDefaultTimeoutDuration = 45;

NotificationObject objectOf(const PushManager::ParseResult& parsed, const std::weak_ptr<LogicLayer>& maker) {
    return LogicLayerAccess::makeNotificationObject(parsed.type,
                                                    parsed.duration.value_or(kDefaultTimeoutDuration),
                                                    parsed.urlString, parsed.contentType, maker);
}

} // namespace

NotificationFlow::NotificationFlow(FlowCollaborators collaborators)
    : c_(std::move(collaborators)) {}

std::optional<PushManager::ParseResult> NotificationFlow::recognise(const NotificationPayload& payload,
                                                                    const NotificationCompletion& handler,
                                                                    const char* operation) const {
    using Type = NotificationObject::NotificationType;
    auto parsed = PushManager::parse(payload);
    if (parsed.type == Type::authentication)
        return parsed;
    if (parsed.type == Type::other)
        handler(std::nullopt, std::nullopt);
    else
        handler(std::nullopt,
                flowError(ErrorCode::notificationNotFromService, 8, kPushManagerUnit, operation));
    return std::nullopt;
}

void NotificationFlow::processRemoteNotification(const NotificationPayload& payload,
                                                 const NotificationCompletion& handler,
                                                 const std::weak_ptr<LogicLayer>& maker) const {
    constexpr const char* op = "processRemoteNotification(_:completionHandler:)";
    if (payload.description())
        VQ_LOG(LogLevel::info, kLogicLayerUnit, op, "userInfo=" + *payload.description());
    if (auto parsed = recognise(payload, handler, op))
        handler(objectOf(*parsed, maker), std::nullopt);
}

void NotificationFlow::processRemoteNotificationAction(const std::string& identifier,
                                                       const std::optional<std::string>& authenticationMethod,
                                                       const NotificationPayload& payload,
                                                       const NotificationCompletion& handler,
                                                       const std::weak_ptr<LogicLayer>& maker) const {
    constexpr const char* op =
        "processRemoteNotificationAction(_:authenticationMethod:forRemoteNotification:completionHandler:)";
    // A dictionary too deep to print is left out; the identifier is still worth having.
    VQ_LOG(LogLevel::info, kLogicLayerUnit, op,
           "identifier=" + identifier +
               (payload.description() ? " userInfo=" + *payload.description() : std::string()));
    const auto parsed = recognise(payload, handler, op);
    if (!parsed)
        return;
    const char* action = identifier == PushManager::kAuthenticateIdentifier ? "APPROVE"
                         : identifier == PushManager::kDenyIdentifier       ? "DENY"
                                                                            : nullptr;
    if (action == nullptr) // the banner itself was tapped: the host shows its own screen
        return handler(objectOf(*parsed, maker), std::nullopt);
    validatePush(
        action, true, parsed->urlString, authenticationMethod,
        ErrorCompletion([handler](std::optional<Error> error) { handler(std::nullopt, std::move(error)); },
                        kLogicLayerUnit, kValidatePush));
}

const char* NotificationFlow::answerOperation(const std::string& action,
                                              const std::optional<std::string>& authenticationMethod) {
    if (action != "APPROVE")
        return "deny(completionHandler:)";
    return authenticationMethod ? "approve(withAuthenticationMethod:completionHandler:)"
                                : "approve(completionHandler:)";
}

void NotificationFlow::answer(const std::string& action, const std::optional<std::string>& urlString,
                              const std::optional<std::string>& authenticationMethod,
                              const ErrorCompletion& handler) const {
    VQ_LOG(LogLevel::info, "Core/NotificationObject", answerOperation(action, authenticationMethod),
           action == "APPROVE" ? "approve method" : "deny method");
    validatePush(action, std::nullopt, urlString, authenticationMethod, handler);
}

void NotificationFlow::validatePush(const std::string& action, std::optional<bool> isBanner,
                                    const std::optional<std::string>& urlString,
                                    const std::optional<std::string>& authenticationMethod,
                                    const ErrorCompletion& handler) const {
    if (!urlString)
        return handler(flowError(ErrorCode::internalFailure, 7, kLogicLayerUnit, kValidatePush));
    // Notifications are not authenticated: a signed answer goes to the service's own hosts only.
    const auto& configuration = c_.platform.configuration;
    if (auto why = AnswerAddress::problem(*urlString,
                                          {configuration.northAmericaBaseURL, configuration.europeBaseURL,
                                           configuration.asiaPacificBaseURL})) {
        log("Answer address refused: " + *why, LogLevel::error, kLogicLayerUnit, __LINE__, kValidatePush);
        return handler(flowError(ErrorCode::internalFailure, 7, kLogicLayerUnit, kValidatePush));
    }
    Substance substance =
        c_.requestBuilder.validatePushRequest(action, *urlString, isBanner, authenticationMethod);
    c_.platform.services.queues->asyncGlobal(
        QualityOfService::userInitiated,
        [self = shared_from_this(), substance = std::move(substance), handler] {
            try {
                self->c_.communication.post(std::move(substance),
                                            [handler](std::optional<Json>, std::optional<Error> error) {
                                                handler(std::move(error));
                                            });
            } catch (const std::exception& e) {
                log(std::string("Unexpected failure: ") + e.what(), LogLevel::error, kLogicLayerUnit,
                    __LINE__, kValidatePush);
                handler(flowError(ErrorCode::internalFailure, kUnexpectedFailureInternalCode, kLogicLayerUnit,
                                  kValidatePush));
            }
        });
}

} // namespace velquor::detail
