#include "flow/Completion.hpp"
#include "flow/LogicLayer.hpp"
#include "log/Log.hpp"
#include "remote/ErrorBuilder.hpp"

#include <velquor/Velquor.hpp>

namespace velquor {
namespace {

constexpr const char* kUnit = "Core/NotificationObject";

void answer(const char* operation, const std::string& action, const std::optional<std::string>& urlString,
            std::optional<std::string> authenticationMethod, ErrorHandler completionHandler) {
    auto handler = detail::completion(std::move(completionHandler), kUnit, operation);
    try {
        detail::LogicLayer::shared().answerNotification(action, urlString, std::move(authenticationMethod),
                                                        handler);
    } catch (...) {
        try {
            Error error = detail::ErrorBuilder::build(ErrorCode::internalFailure,
                                                      detail::LogicLayer::kUnexpectedFailureInternalCode);
            detail::log(error, detail::LogLevel::error, kUnit, __LINE__, operation);
            handler(error);
        } catch (...) {
        }
    }
}

} // namespace

NotificationObject::NotificationObject(NotificationType type, long timeoutDuration,
                                       std::optional<std::string> urlString,
                                       std::optional<std::string> contentType)
    : notificationType_(type)
    , timeoutDuration_(timeoutDuration)
    , urlString_(std::move(urlString))
    , contentType_(std::move(contentType)) {}

void NotificationObject::approve(std::optional<std::string> authenticationMethod,
                                 ErrorHandler completionHandler) const {
    answer("approve(withAuthenticationMethod:completionHandler:)", "APPROVE", urlString_,
           std::move(authenticationMethod), std::move(completionHandler));
}

void NotificationObject::approve(ErrorHandler completionHandler) const {
    answer("approve(completionHandler:)", "APPROVE", urlString_, std::nullopt, std::move(completionHandler));
}

void NotificationObject::deny(ErrorHandler completionHandler) const {
    answer("deny(completionHandler:)", "DENY", urlString_, std::nullopt, std::move(completionHandler));
}

std::optional<NotificationObject::NotificationType> notificationTypeFromRawValue(long rawValue) {
    switch (rawValue) {
    case -1:
        return NotificationObject::NotificationType::unrecognized;
    case 0:
        return NotificationObject::NotificationType::other;
    case 1:
        return NotificationObject::NotificationType::authentication;
    default:
        return std::nullopt;
    }
}

} // namespace velquor
