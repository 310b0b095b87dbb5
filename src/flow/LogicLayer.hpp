// The orchestrator behind the public operations: start-up, foreground handling, the "paired"
// gate, and moving each operation body onto the global userInitiated queue, where the flow that
// carries it out (PairingFlow, PushTokenFlow, NotificationFlow, DeviceInfoFlow, LogUploadFlow)
// runs. It owns the collaborators the flows need, all built from its own platform: key store
// access, settings, device data, request builder, addresses, request token, the exchange with the
// service and the reading of its replies. The process has one shared instance; value objects it
// makes answer through it.
//
// Thread-safe. Bodies of the asynchronous operations run on the global queue; completion
// handlers run on that queue (or, once flows talk to the service, on the transport's reply
// thread), except where an operation says "caller's thread". The delayed device-information
// refresh runs on the main serial queue; the foreground handler runs on the posting thread.
//
// Tests build their own started instance over explicit services:
//   auto layer = LogicLayer::create(PlatformContext::resolve({.keyStoreDirectory = dir, ...}));
#pragma once

#include "device/DataManager.hpp"
#include "flow/Completion.hpp"
#include "flow/DeviceInfoFlow.hpp"
#include "flow/FlowCollaborators.hpp"
#include "flow/FlowErrors.hpp"
#include "flow/LogUploadFlow.hpp"
#include "flow/NotificationFlow.hpp"
#include "flow/NotificationPayload.hpp"
#include "flow/PairingFlow.hpp"
#include "flow/PushManager.hpp"
#include "flow/PushTokenFlow.hpp"
#include "platform/PlatformContext.hpp"

#include <velquor/Velquor.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velquor::detail {

class LogicLayer : public std::enable_shared_from_this<LogicLayer> {
public:
    using PairingHandler = Velquor::PairingHandler;
    using NotificationHandler = Velquor::NotificationHandler;
    using InfoHandler = Velquor::InfoHandler;
    using SupportIdHandler = Velquor::SupportIdHandler;

    // The notification the host's foreground event is posted as (Velquor::applicationWillEnterForeground).
    static constexpr const char* kWillEnterForegroundNotification =
        "UIApplicationWillEnterForegroundNotification";
    static constexpr std::uint8_t kUnexpectedFailureInternalCode = detail::kUnexpectedFailureInternalCode;
    static constexpr const char* kUnit = kLogicLayerUnit;

    // The process's instance over PlatformContext::get() and the process's DataManager, created
    // and started by the first caller (concurrent first calls create exactly one). Never destroyed.
    static const std::shared_ptr<LogicLayer>& shared();
    // A new instance over `platform` (every service non-null), started before it is returned:
    // version line, reinstall check, "Velquor init", foreground registration, permission refresh,
    // delayed refresh. A step whose host service throws is logged at ERROR and skipped; the rest
    // still run. Work it queued keeps it alive until that work has run.
    // `dataManager` null: a device-data collector of its own over `platform`.
    static std::shared_ptr<LogicLayer> create(const Platform& platform,
                                              std::shared_ptr<DataManager> dataManager = nullptr);
    // The layer a value object answers through: the one that made it, the process's instance
    // (started now) when no layer made it, null when the layer that made it is gone.
    static std::shared_ptr<LogicLayer> answering(const std::weak_ptr<LogicLayer>& maker);
    ~LogicLayer();
    LogicLayer(const LogicLayer&) = delete;
    LogicLayer& operator=(const LogicLayer&) = delete;

    // --- operations; asynchronous unless noted ----------------------------------------------
    void pair(const std::string& pairingKey, ErrorHandler completionHandler);
    // Caller's thread; the PairingObject approves through the process's instance. Needs no
    // instance, so it never runs start-up.
    static void pairWithIdToken(const std::string& idToken, PairingHandler completionHandler);
    // Caller's thread; the PairingObject approves through this instance.
    void processIdToken(const std::string& idToken, PairingHandler completionHandler);
    // PairingObject::approve: a pairing with the object's key.
    void approvePairing(const std::string& pairingKey, ErrorHandler completionHandler);
    void setDeviceToken(const std::vector<std::uint8_t>& deviceToken, APNSDeviceTokenType type,
                        ErrorHandler completionHandler);
    // The payload is what the public boundary took from the host's dictionary (a Json converts).
    void processRemoteNotification(NotificationPayload payload, NotificationHandler completionHandler);
    void processRemoteNotificationAction(const std::string& identifier,
                                         std::optional<std::string> authenticationMethod,
                                         NotificationPayload payload, NotificationHandler completionHandler);
    // NotificationObject::approve/deny: `action` is "APPROVE" or "DENY".
    void answerNotification(const std::string& action, std::optional<std::string> urlString,
                            std::optional<std::string> authenticationMethod, ErrorHandler completionHandler);
    // The handler may be empty (the outcome is then only logged). Unpaired: 10008 / 51.
    void getDeviceInfo(InfoHandler completionHandler);
    // Tests the pairing on the caller's thread; unpaired, the handler runs there before return
    // (10008 / 47).
    void sendLogs(SupportIdHandler completionHandler);

    // Caller's thread.
    std::vector<NotificationCategory> getUNNotificationCategories() const;
    void removeVelquorLocalData() const;
    void setDevicePairedAfterReinstall(bool paired) const;

    // Called for the foreground notification: permission refresh and a new delayed refresh.
    void appWillEnterForeground();

    // --- state -------------------------------------------------------------------------------
    // The "paired" gate: the key store holds the item "isPaired" (its value is not compared).
    bool isPaired() const;
    // Base address for the stored "dataCenter" ("NA", "EU", "AU"; anything else is NA).
    std::string baseURL() const;

    const Platform& platform() const { return c_.platform; }
    PushManager& push() { return *c_.push; }
    const Keychain& keychain() const { return c_.keychain; }
    const RequestBuilder& requestBuilder() const { return c_.requestBuilder; }
    const URLManager& urlManager() const { return c_.urlManager; }
    const RequestToken& requestToken() const { return c_.requestToken; }
    const Communication& communication() const { return c_.communication; }

private:
    struct PrivateTag {};

public:
    LogicLayer(PrivateTag, const Platform& platform, std::shared_ptr<DataManager> dataManager);

private:
    void start();
    // Runs one start-up step; an exception it throws is logged at ERROR and the step skipped.
    static void guardStep(const char* step, const std::function<void()>& body) noexcept;
    void wipeDataIfNeeded();
    void refreshPermissions();
    void scheduleDelayedRefresh();
    // Submits `body` to the global userInitiated queue, keeping this instance alive until it has
    // run; an exception it throws is logged.
    // Runs `body` on the global queue; an exception out of it (a host service's bug) is logged
    // and answers `handler` with 10000 / kUnexpectedFailureInternalCode unless it already has
    // its answer, so every handler is still called once.
    template <typename... Args>
    void async(const char* operation, const Completion<Args...>& handler, std::function<void()> body);

    const FlowCollaborators c_;
    // Shared so that a reply arriving after the layer is gone still finds its flow.
    const std::shared_ptr<PairingFlow> pairing_;
    const std::shared_ptr<PushTokenFlow> pushToken_;
    const std::shared_ptr<NotificationFlow> notifications_;
    const std::shared_ptr<DeviceInfoFlow> deviceInfo_;
    const std::shared_ptr<LogUploadFlow> logUpload_;

    std::optional<NotificationCenter::ObserverToken> foregroundObserver_;
};

} // namespace velquor::detail
