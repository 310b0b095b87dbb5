// Push notifications of the service: reading one (or the action the user picked on its banner)
// into a NotificationObject, and the answers approve and deny of such an object, sent as a
// signed "validatePush" request to the address the notification names, provided that address is
// one of the service's own hosts.
//
// Stateless; thread-safe. Every operation runs on the global queue (the logic layer moves it
// there). A handler runs there when the flow ends before sending (an unrecognised payload, a
// missing or refused answer address, a request that cannot be prepared), otherwise on the
// transport's reply thread.
#pragma once

#include "flow/Completion.hpp"
#include "flow/FlowCollaborators.hpp"
#include "flow/NotificationPayload.hpp"
#include "flow/PushManager.hpp"

#include <memory>
#include <optional>
#include <string>

namespace velquor::detail {

class LogicLayer;

class NotificationFlow : public std::enable_shared_from_this<NotificationFlow> {
public:
    explicit NotificationFlow(FlowCollaborators collaborators);

    // An authentication request gives an object answering through `maker`; another kind of the
    // service's notifications gives neither object nor error; anything else 10002 / 8.
    void processRemoteNotification(const NotificationPayload& payload, const NotificationCompletion& handler,
                                   const std::weak_ptr<LogicLayer>& maker) const;
    // "Authenticate" and "Deny" answer at once (is-banner true) and hand no object back; any
    // other identifier hands the object back and sends nothing.
    void processRemoteNotificationAction(const std::string& identifier,
                                         const std::optional<std::string>& authenticationMethod,
                                         const NotificationPayload& payload,
                                         const NotificationCompletion& handler,
                                         const std::weak_ptr<LogicLayer>& maker) const;
    // A NotificationObject's approve or deny: `action` is "APPROVE" or "DENY".
    static const char* answerOperation(const std::string& action,
                                       const std::optional<std::string>& authenticationMethod);
    void answer(const std::string& action, const std::optional<std::string>& urlString,
                const std::optional<std::string>& authenticationMethod, const ErrorCompletion& handler) const;
    // Sends `action` to `urlString` from the global queue. An address that is missing or not one
    // of the service's hosts fails with 10000 / 7 and nothing is sent.
    void validatePush(const std::string& action, std::optional<bool> isBanner,
                      const std::optional<std::string>& urlString,
                      const std::optional<std::string>& authenticationMethod,
                      const ErrorCompletion& handler) const;

private:
    // The parse result of `payload`, after answering `handler` for every kind but authentication.
    std::optional<PushManager::ParseResult> recognise(const NotificationPayload& payload,
                                                      const NotificationCompletion& handler,
                                                      const char* operation) const;

    const FlowCollaborators c_;
};

} // namespace velquor::detail
