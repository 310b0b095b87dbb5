// The library's one way to make the host-visible value objects (whose constructors are private
// to keep hosts from forging them) and to read their internal fields. Stateless.
//
// `maker` is the logic layer the object answers through; one never set means the process's.
#pragma once

#include <velquor/Velquor.hpp>

#include <memory>
#include <optional>
#include <string>

namespace velquor::detail {

class LogicLayerAccess {
public:
    static PairingObject makePairingObject(std::string pairingKey, std::weak_ptr<LogicLayer> maker) {
        return PairingObject(std::move(pairingKey), std::move(maker));
    }

    static NotificationObject makeNotificationObject(NotificationObject::NotificationType type,
                                                     long timeoutDuration,
                                                     std::optional<std::string> urlString,
                                                     std::optional<std::string> contentType,
                                                     std::weak_ptr<LogicLayer> maker) {
        return NotificationObject(type, timeoutDuration, std::move(urlString), std::move(contentType),
                                  std::move(maker));
    }

    // The address the answer to the notification goes to.
    static const std::optional<std::string>& urlString(const NotificationObject& object) {
        return object.urlString_;
    }
    static const std::optional<std::string>& contentType(const NotificationObject& object) {
        return object.contentType_;
    }
};

} // namespace velquor::detail
