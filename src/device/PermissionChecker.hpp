// Turns the platform's permission states into the texts of the device data:
//   camera      0 notDetermined, 1 restricted, 2 denied, 3 authorized
//   location    services off: notEnabled; else 0 notDetermined, 1 restricted, 2 denied,
//               3 authorizedAlways, 4 authorizedWhenInUse
//   push        0 notDetermined, 1 denied, 2 authorized (provisional included in "unknown")
//   silentPush  0 restricted, 1 denied, 2 available
// Any other value, and no answer at all, is "unknown".
//
// Holds only its collaborators. Thread-safe; checkSilentPushPermission's completion runs on the
// main queue.
#pragma once

#include <velquor/DeviceFacts.hpp>
#include <velquor/Platform.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velquor::detail {

class DataManager;

class PermissionChecker {
public:
    // `target` receives the push text; it may be gone by the time an answer arrives.
    PermissionChecker(std::weak_ptr<DataManager> target, std::shared_ptr<DeviceFacts> facts,
                      std::shared_ptr<DispatchQueues> queues);

    // Stores the "push" text for a notification authorisation status into the target's
    // pushPermission.
    void updatePushPermission(std::optional<int> authorizationStatus) const;
    // Reads the background refresh status on the main queue and calls `completion` there with
    // the "silentPush" text.
    void checkSilentPushPermission(std::function<void(std::string)> completion) const;
    std::string locationPermission() const;
    std::string cameraPermission() const;

    static std::string cameraText(std::optional<int> status);
    static std::string locationText(std::optional<bool> servicesEnabled, std::optional<int> status);
    static std::string pushText(std::optional<int> status);
    static std::string silentPushText(std::optional<int> status);

private:
    std::weak_ptr<DataManager> target_;
    std::shared_ptr<DeviceFacts> facts_;
    std::shared_ptr<DispatchQueues> queues_;
};

} // namespace velquor::detail
