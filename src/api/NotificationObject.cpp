#include "flow/Completion.hpp"
#include "flow/FlowErrors.hpp"
#include "flow/LogicLayer.hpp"

#include <velquor/Velquor.hpp>

namespace velquor {
namespace {

void answer(const std::string& action, const std::optional<std::string>& urlString,
            std::optional<std::string> authenticationMethod, const std::weak_ptr<detail::LogicLayer>& maker,
            ErrorHandler completionHandler) {
    constexpr const char* unit = "Core/NotificationObject";
    const char* op = detail::NotificationFlow::answerOperation(action, authenticationMethod);
    auto handler = detail::completion(std::move(completionHandler), unit, op);
    detail::guardBoundary(
        unit, op,
        [&] {
            if (auto layer = detail::LogicLayer::answering(maker))
                layer->answerNotification(action, urlString, std::move(authenticationMethod), handler);
            else
                handler(detail::layerGone(unit, op));
        },
        [&](const Error& error) { handler(error); });
}

} // namespace

NotificationObject::NotificationObject(NotificationType type, long timeoutDuration,
                                       std::optional<std::string> urlString,
                                       std::optional<std::string> contentType,
                                       std::weak_ptr<detail::LogicLayer> maker)
    : notificationType_(type)
    , timeoutDuration_(timeoutDuration)
    , urlString_(std::move(urlString))
    , contentType_(std::move(contentType))
    , maker_(std::move(maker)) {}

void NotificationObject::approve(std::optional<std::string> authenticationMethod,
                                 ErrorHandler completionHandler) const {
    answer("APPROVE", urlString_, std::move(authenticationMethod), maker_, std::move(completionHandler));
}

void NotificationObject::approve(ErrorHandler completionHandler) const {
    answer("APPROVE", urlString_, std::nullopt, maker_, std::move(completionHandler));
}

void NotificationObject::deny(ErrorHandler completionHandler) const {
    answer("DENY", urlString_, std::nullopt, maker_, std::move(completionHandler));
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
