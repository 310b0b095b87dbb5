// The in-memory push state (device token text, push environment), the reader of the service's
// push notifications and the notification category the host registers for the banner's action
// buttons.
//
// Thread-safe: the token fields are written by token registration bodies and read by pairing
// bodies on other threads, so each access takes the manager's lock. The reader keeps no state.
// It calls no callbacks.
#pragma once

#include "flow/NotificationPayload.hpp"

#include <velquor/Platform.hpp>
#include <velquor/Velquor.hpp>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velquor::detail {

class PushManager {
public:
    // Category and action identifiers, and the action option values.
    static constexpr const char* kCategoryIdentifier = "auth";
    static constexpr const char* kAuthenticateIdentifier = "Authenticate";
    static constexpr const char* kDenyIdentifier = "Deny";
    static constexpr unsigned kOptionAuthenticationRequired = 1;
    static constexpr unsigned kOptionDestructive = 2;

    // A notification as read: its kind, and what the kind `authentication` is answered with.
    struct ParseResult {
        std::optional<std::string> urlString;
        std::optional<std::string> contentType;
        NotificationObject::NotificationType type = NotificationObject::NotificationType::unrecognized;
        std::optional<long> duration;
    };

    // `bundle` supplies the localized action titles; null shows the title keys.
    explicit PushManager(std::shared_ptr<const BundleInfo> bundle);

    // The token text given by the latest setDeviceToken of this process run; absent before.
    std::optional<std::string> deviceTokenString() const;
    void setDeviceTokenString(std::optional<std::string> token);
    bool isApnsSandbox() const;
    void setIsApnsSandbox(bool sandbox);

    // The one category "auth" with the actions "Authenticate" and "Deny".
    std::vector<NotificationCategory> getUNNotificationCategories() const;

    // Reads the Base64 JSON object under "Velquor". Text outside the strict Base64 alphabet or
    // padding, JSON that is not an object or nests deeper than the JSON nesting limit, and a
    // missing or non-text "type" all read as `unrecognized` (with nothing else, except after the
    // "type" step). Never throws.
    static ParseResult parse(const NotificationPayload& payload);

private:
    std::shared_ptr<const BundleInfo> bundle_;
    mutable std::mutex mutex_;
    std::optional<std::string> deviceTokenString_;
    bool isApnsSandbox_ = false;
};

} // namespace velquor::detail
