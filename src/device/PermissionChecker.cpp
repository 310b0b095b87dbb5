#include "device/PermissionChecker.hpp"

#include "device/DataManager.hpp"

namespace velquor::detail {

PermissionChecker::PermissionChecker(std::weak_ptr<DataManager> target, std::shared_ptr<DeviceFacts> facts,
                                     std::shared_ptr<DispatchQueues> queues)
    : target_(std::move(target))
    , facts_(std::move(facts))
    , queues_(std::move(queues)) {}

std::string PermissionChecker::cameraText(std::optional<int> status) {
    switch (status.value_or(-1)) {
    case 0:
        return "notDetermined";
    case 1:
        return "restricted";
    case 2:
        return "denied";
    case 3:
        return "authorized";
    default:
        return "unknown";
    }
}

std::string PermissionChecker::locationText(std::optional<bool> servicesEnabled, std::optional<int> status) {
    if (servicesEnabled == false)
        return "notEnabled";
    switch (status.value_or(-1)) {
    case 0:
        return "notDetermined";
    case 1:
        return "restricted";
    case 2:
        return "denied";
    case 3:
        return "authorizedAlways";
    case 4:
        return "authorizedWhenInUse";
    default:
        return "unknown";
    }
}

std::string PermissionChecker::pushText(std::optional<int> status) {
    switch (status.value_or(-1)) {
    case 0:
        return "notDetermined";
    case 1:
        return "denied";
    case 2:
        return "authorized";
    default:
        return "unknown";
    }
}

std::string PermissionChecker::silentPushText(std::optional<int> status) {
    switch (status.value_or(-1)) {
    case 0:
        return "restricted";
    case 1:
        return "denied";
    case 2:
        return "available";
    default:
        return "unknown";
    }
}

void PermissionChecker::updatePushPermission(std::optional<int> authorizationStatus) const {
    if (auto target = target_.lock())
        target->setPushPermission(pushText(authorizationStatus));
}

void PermissionChecker::checkSilentPushPermission(std::function<void(std::string)> completion) const {
    queues_->asyncMain([facts = facts_, completion = std::move(completion)] {
        std::string text = silentPushText(facts->backgroundRefreshStatus());
        if (completion)
            completion(std::move(text));
    });
}

std::string PermissionChecker::locationPermission() const {
    return locationText(facts_->locationServicesEnabled(), facts_->locationAuthorizationStatus());
}

std::string PermissionChecker::cameraPermission() const {
    return cameraText(facts_->cameraAuthorizationStatus());
}

} // namespace velquor::detail
