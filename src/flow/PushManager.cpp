#include "flow/PushManager.hpp"

namespace velquor::detail {

PushManager::PushManager(std::shared_ptr<const BundleInfo> bundle)
    : bundle_(std::move(bundle)) {}

std::optional<std::string> PushManager::deviceTokenString() const {
    std::lock_guard lock(mutex_);
    return deviceTokenString_;
}

void PushManager::setDeviceTokenString(std::optional<std::string> token) {
    std::lock_guard lock(mutex_);
    deviceTokenString_ = std::move(token);
}

bool PushManager::isApnsSandbox() const {
    std::lock_guard lock(mutex_);
    return isApnsSandbox_;
}

void PushManager::setIsApnsSandbox(bool sandbox) {
    std::lock_guard lock(mutex_);
    isApnsSandbox_ = sandbox;
}

std::vector<NotificationCategory> PushManager::getUNNotificationCategories() const {
    // Without a translation the host sees the key itself.
    auto title = [&](const std::string& key) {
        return bundle_ ? bundle_->localizedString(key, key) : key;
    };
    NotificationCategory category;
    category.identifier = kCategoryIdentifier;
    category.actions.push_back(
        {kAuthenticateIdentifier, title("notification.confirm"), kOptionAuthenticationRequired});
    category.actions.push_back({kDenyIdentifier, title("notification.deny"), kOptionDestructive});
    return {category};
}

} // namespace velquor::detail
