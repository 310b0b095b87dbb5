// The in-memory push state (device token text, push environment) and the notification category
// the host registers for the banner's action buttons.
//
// Thread-safe: the token fields are written by token registration bodies and read by pairing
// bodies on other threads, so each access takes the manager's lock. It calls no callbacks.
#pragma once

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

    // `bundle` supplies the localized action titles; null shows the title keys.
    explicit PushManager(std::shared_ptr<const BundleInfo> bundle);

    // The token text given by the latest setDeviceToken of this process run; absent before.
    std::optional<std::string> deviceTokenString() const;
    void setDeviceTokenString(std::optional<std::string> token);
    bool isApnsSandbox() const;
    void setIsApnsSandbox(bool sandbox);

    // The one category "auth" with the actions "Authenticate" and "Deny".
    std::vector<NotificationCategory> getUNNotificationCategories() const;

private:
    std::shared_ptr<const BundleInfo> bundle_;
    mutable std::mutex mutex_;
    std::optional<std::string> deviceTokenString_;
    bool isApnsSandbox_ = false;
};

} // namespace velquor::detail
