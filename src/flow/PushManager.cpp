#include "flow/PushManager.hpp"

#include "util/Base64.hpp"
#include "util/BoundedJson.hpp"

#include <limits>

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

namespace {

// `parent`'s member `key` when it is of the kind `is` accepts, else null.
const Json* member(const Json* parent, const char* key, bool (Json::*is)() const noexcept) {
    if (parent == nullptr || !parent->is_object())
        return nullptr;
    const auto it = parent->find(key);
    return it != parent->end() && ((*it).*is)() ? &*it : nullptr;
}

std::optional<std::string> text(const Json* parent, const char* key) {
    const Json* value = member(parent, key, &Json::is_string);
    return value ? std::optional(value->get<std::string>()) : std::nullopt;
}

} // namespace

PushManager::ParseResult PushManager::parse(const NotificationPayload& payload) {
    using Type = NotificationObject::NotificationType;
    ParseResult result;
    if (!payload.velquorText())
        return result;
    const auto bytes = base64Decode(*payload.velquorText());
    if (!bytes)
        return result;
    auto parsed = BoundedJson::parse(*bytes);
    if (!parsed || !parsed->is_object())
        return result;
    const Json& json = *parsed;

    if (const auto type = text(&json, "type"))
        result.type = *type == "AUTHENTICATION" ? Type::authentication : Type::other;

    const Json* timeout = member(&json, "timeout", &Json::is_object);
    if (const Json* duration = member(timeout, "duration", &Json::is_number_integer)) {
        if (duration->is_number_unsigned()) {
            if (duration->get<Json::number_unsigned_t>() <=
                static_cast<Json::number_unsigned_t>(std::numeric_limits<long>::max()))
                result.duration = static_cast<long>(duration->get<Json::number_unsigned_t>());
        } else {
            result.duration = static_cast<long>(duration->get<Json::number_integer_t>());
        }
    }

    const Json* links = member(&json, "_links", &Json::is_object);
    const Json* check = member(links, "push.check", &Json::is_object);
    result.urlString = text(check, "href");
    result.contentType = text(check, "content-type");
    return result;
}

} // namespace velquor::detail
