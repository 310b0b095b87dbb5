// Push notifications of the service: reading one (or the action the user picked on its banner)
// into a NotificationObject, and the answers approve and deny of such an object, sent to the
// address the notification names. Reading and answering arrive with the transport; until then
// they answer kNotAvailableInternalCode.
//
// Stateless; thread-safe. Every operation runs on the global queue (the logic layer moves it
// there) and answers there.
#pragma once

#include "flow/Completion.hpp"
#include "flow/FlowCollaborators.hpp"

#include <optional>
#include <string>

namespace velquor::detail {

class NotificationFlow : public std::enable_shared_from_this<NotificationFlow> {
public:
    explicit NotificationFlow(FlowCollaborators collaborators);

    void processRemoteNotification(const Json& userInfo, const NotificationCompletion& handler) const;
    void processRemoteNotificationAction(const std::string& identifier,
                                         const std::optional<std::string>& authenticationMethod,
                                         const Json& userInfo, const NotificationCompletion& handler) const;
    // A NotificationObject's approve or deny: `action` is "APPROVE" or "DENY".
    static const char* answerOperation(const std::string& action,
                                       const std::optional<std::string>& authenticationMethod);
    void answer(const std::string& action, const std::optional<std::string>& urlString,
                const std::optional<std::string>& authenticationMethod, const ErrorCompletion& handler) const;
    // Sends `action` to `urlString`; without an address it fails with internal code 7.
    void validatePush(const std::string& action, std::optional<bool> isBanner,
                      const std::optional<std::string>& urlString,
                      const std::optional<std::string>& authenticationMethod,
                      const ErrorCompletion& handler) const;

private:
    const FlowCollaborators c_;
};

} // namespace velquor::detail
