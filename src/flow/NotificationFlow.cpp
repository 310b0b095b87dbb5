#include "flow/NotificationFlow.hpp"

#include "flow/FlowErrors.hpp"
#include "log/Log.hpp"

namespace velquor::detail {

NotificationFlow::NotificationFlow(FlowCollaborators collaborators)
    : c_(std::move(collaborators)) {}

void NotificationFlow::processRemoteNotification(const Json&, const NotificationCompletion& handler) const {
    handler(std::nullopt, notAvailable("processRemoteNotification(_:completionHandler:)"));
}

void NotificationFlow::processRemoteNotificationAction(const std::string&, const std::optional<std::string>&,
                                                       const Json&,
                                                       const NotificationCompletion& handler) const {
    handler(std::nullopt, notAvailable("processRemoteNotificationAction(_:authenticationMethod:"
                                       "forRemoteNotification:completionHandler:)"));
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

void NotificationFlow::validatePush(const std::string&, std::optional<bool>,
                                    const std::optional<std::string>& urlString,
                                    const std::optional<std::string>&, const ErrorCompletion& handler) const {
    constexpr const char* op = "validatePush(action:isBanner:urlStr:authenticationMethod:completionHandler:)";
    if (!urlString)
        return handler(flowError(ErrorCode::internalFailure, 7, kLogicLayerUnit, op));
    handler(notAvailable(op));
}

} // namespace velquor::detail
