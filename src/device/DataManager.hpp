// The description of the device that travels in every request token and in the mobile payload
// (the device data), the two claim sets around it, and the three facts that arrive
// asynchronously: the push environment of the registered token and the push and background
// refresh permission texts.
//
//   auto manager = DataManager::make(DataManager::collaboratorsFor(platform.services));
//   manager->refreshPermissions();                 // answers land in later builds
//   std::optional<Json> claims = manager->getRequestClaims();
//
// The process's instance (shared(), never destroyed) serves the process's logic layer and the
// mobile payload; a logic layer over other services makes its own with make(). Thread-
// safe: the builders run on the caller's thread; the three fields are guarded and may be written
// from any thread (the permission answers arrive on the facts provider's thread and the main
// queue).
#pragma once

#include "state/Keychain.hpp"

#include <velquor/DeviceFacts.hpp>
#include <velquor/Platform.hpp>
#include <velquor/Velquor.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace velquor::detail {

class PermissionChecker;

class DataManager : public std::enable_shared_from_this<DataManager> {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    // Everything the device data is read from. All pointers non-null except reachabilityFlags
    // (null: the network type is "Other").
    struct Collaborators {
        std::shared_ptr<KeyStore> keyStore;
        std::shared_ptr<DeviceFacts> deviceFacts;
        std::shared_ptr<const BundleInfo> bundle;
        std::shared_ptr<ReachabilityFlagSource> reachabilityFlags;
        std::shared_ptr<DispatchQueues> queues;
        std::shared_ptr<NotificationCenter> notificationCenter;
        // Empty: the system clock. Read once per claim set, for "exp".
        Clock clock;
    };

    // The process's instance, built from `processServices` (the process's platform services) by
    // the first caller; later callers get that same instance.
    static const std::shared_ptr<DataManager>& shared(const PlatformServices& processServices);
    // The collaborators a DataManager takes from a set of resolved platform services (the
    // system clock).
    static Collaborators collaboratorsFor(const PlatformServices& services);
    static std::shared_ptr<DataManager> make(Collaborators collaborators);

    // The device data; never fails, every missing fact becomes its fallback text. Also requests
    // a refresh of both permission texts, whose answers appear in a later build.
    Json getDeviceData();
    // "metadata" (the device data), "fnp", "iss" and "dvc" (when stored), "jti", "exp". Nothing
    // when the device fingerprint cannot be read.
    std::optional<Json> getRequestClaims();
    // "fnp", "iss", "dvc", "jti", "exp", and while not paired "metadata" {"application":
    // {"bundleId"}}. Nothing when the device fingerprint cannot be read.
    std::optional<Json> getPayloadClaims();

    // "<short version>(<build>)" of the host's bundle; nothing when either value is missing.
    std::optional<std::string> appVersion() const;

    // Asks for the notification authorisation status (answered on the provider's thread) and
    // schedules the background refresh read on the main queue; returns at once. The answers are
    // stored into pushPermission and silentPushPermission.
    void refreshPermissions();

    bool isApnsSandbox() const;
    void setApnsSandbox(bool sandbox);
    std::string pushPermission() const;
    void setPushPermission(std::string text);
    std::string silentPushPermission() const;
    void setSilentPushPermission(std::string text);

    const Collaborators& collaborators() const noexcept { return collaborators_; }
    PermissionChecker permissionChecker();

private:
    explicit DataManager(Collaborators collaborators);

    std::string networkType() const;
    // "fnp", "iss", "dvc", "jti", "exp" added to `claims`; false without a fingerprint.
    bool addIdentityClaims(Json& claims) const;
    std::optional<std::string> bundleText(const std::optional<std::string>& value) const;

    Collaborators collaborators_;
    Keychain keychain_;

    mutable std::mutex mutex_;
    bool isApnsSandbox_ = false;
    std::string pushPermission_ = "unknown";
    std::string silentPushPermission_ = "unknown";
};

} // namespace velquor::detail
