// Fixtures for the device data, request token and payload tests: device facts the test fixes, a
// bundle with chosen values, and a DataManager over real queues, a memory key store and a routing
// table in a temp directory.
#pragma once

#include "device/DataManager.hpp"
#include "platform/linux/LinuxNotificationCenter.hpp"
#include "platform/linux/LinuxReachabilityFlagSource.hpp"
#include "platform/linux/ThreadPoolDispatchQueues.hpp"
#include "platform/memory/MemoryKeyStore.hpp"
#include "state/Keychain.hpp"

#include "TestSupport.hpp"

#include <velquor/DeviceFacts.hpp>
#include <velquor/Platform.hpp>

#include <atomic>
#include <map>
#include <mutex>

namespace velquor::test {

// Facts set by the test. The notification status answers on the global queue; the background
// refresh read records whether it ran on the main queue. While held, both answers wait for
// release() (the background read blocks the main queue), so a test can observe "not yet
// answered" without a race. Made with make_shared. Thread-safe.
class FixedDeviceFacts : public DeviceFacts, public std::enable_shared_from_this<FixedDeviceFacts> {
public:
    struct Values {
        std::optional<std::string> systemVersion = "17.2";
        std::optional<std::string> deviceName = "Test Phone";
        std::optional<std::string> modelIdentifier = "iPhone12,1";
        Locale locale{"en", "US"};
        std::optional<int> camera = 3;
        std::optional<bool> locationEnabled = true;
        std::optional<int> location = 4;
        bool lock = true;
        std::optional<int> notification = 2;
        std::optional<int> backgroundRefresh = 2;
    };

    explicit FixedDeviceFacts(std::shared_ptr<DispatchQueues> queues)
        : queues_(std::move(queues)) {}

    void set(Values values) {
        std::lock_guard lock(mutex_);
        values_ = std::move(values);
    }
    Values values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }
    void hold() { held_ = true; }
    void release() { held_ = false; }
    bool backgroundReadOffMain() const { return backgroundReadOffMain_.load(); }
    int backgroundReads() const { return backgroundReads_.load(); }

    std::optional<std::string> systemVersion() const override { return values().systemVersion; }
    std::optional<std::string> deviceName() const override { return values().deviceName; }
    std::optional<std::string> modelIdentifier() const override { return values().modelIdentifier; }
    Locale currentLocale() const override { return values().locale; }
    std::optional<int> cameraAuthorizationStatus() const override { return values().camera; }
    std::optional<bool> locationServicesEnabled() const override { return values().locationEnabled; }
    std::optional<int> locationAuthorizationStatus() const override { return values().location; }
    bool canEvaluateDeviceOwnerAuthentication() const override { return values().lock; }
    void requestNotificationAuthorizationStatus(NotificationStatusHandler handler) override {
        queues_->asyncGlobal(QualityOfService::utility,
                             [self = shared_from_this(), handler = std::move(handler)] {
                                 waitUntil([&] { return !self->held_; });
                                 handler(self->values().notification);
                             });
    }
    std::optional<int> backgroundRefreshStatus() const override {
        if (!queues_->isMainQueueThread())
            backgroundReadOffMain_ = true;
        waitUntil([&] { return !held_; });
        ++backgroundReads_;
        return values().backgroundRefresh;
    }

private:
    std::shared_ptr<DispatchQueues> queues_;
    mutable std::mutex mutex_;
    Values values_;
    std::atomic<bool> held_{false};
    mutable std::atomic<bool> backgroundReadOffMain_{false};
    mutable std::atomic<int> backgroundReads_{0};
};

// Main-bundle values and translations chosen by the test.
class FixedBundle : public BundleInfo {
public:
    explicit FixedBundle(std::map<std::string, std::string> main,
                         std::map<std::string, std::string> strings = {})
        : main_(std::move(main))
        , strings_(std::move(strings)) {}

    std::optional<std::string> mainBundleValue(const std::string& key) const override {
        return main_.contains(key) ? std::optional(main_.at(key)) : std::nullopt;
    }
    std::string localizedString(const std::string& key, const std::string& fallback) const override {
        return strings_.contains(key) ? strings_.at(key) : fallback;
    }

private:
    std::map<std::string, std::string> main_, strings_;
};

inline std::map<std::string, std::string> hostValues() {
    return {{"CFBundleIdentifier", "com.example.host"},
            {"CFBundleDisplayName", "Host App"},
            {"CFBundleName", "HostApp"},
            {"CFBundleShortVersionString", "2.3.1"},
            {"CFBundleVersion", "417"}};
}

// A routing table below a temp directory: a default route through `interfaceName`, or none.
inline void writeRoutes(const std::filesystem::path& root, const std::string& interfaceName) {
    std::string routes =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    if (!interfaceName.empty()) {
        routes += interfaceName + "\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
        writeFile(root / "sys/class/net" / interfaceName / "operstate", "up\n");
    }
    writeFile(root / "proc/net/route", routes);
}

// The collaborators of a DataManager built over real queues and notification centre, a memory
// key store, fixed facts and a routing table in `routes` (Wi-Fi by default).
struct DeviceFixture {
    std::shared_ptr<detail::ThreadPoolDispatchQueues> queues =
        std::make_shared<detail::ThreadPoolDispatchQueues>();
    std::shared_ptr<detail::MemoryKeyStore> store =
        std::make_shared<detail::MemoryKeyStore>(detail::MemoryKeyStore::KeyGeneration::shared);
    std::shared_ptr<FixedDeviceFacts> facts = std::make_shared<FixedDeviceFacts>(queues);
    TempDir routes;
    std::chrono::system_clock::time_point now{std::chrono::seconds(1'700'000'000) +
                                              std::chrono::milliseconds(999)};

    DeviceFixture() { writeRoutes(routes.path(), "wlan0"); }
    ~DeviceFixture() { facts->release(); }

    detail::DataManager::Collaborators collaborators(std::shared_ptr<KeyStore> keyStore = nullptr) {
        detail::DataManager::Collaborators c;
        c.keyStore = keyStore ? keyStore : store;
        c.deviceFacts = facts;
        c.bundle = std::make_shared<FixedBundle>(hostValues());
        c.reachabilityFlags = std::make_shared<detail::LinuxReachabilityFlagSource>(routes.path());
        c.queues = queues;
        c.notificationCenter = std::make_shared<detail::LinuxNotificationCenter>();
        c.clock = [this] {
            return now;
        };
        return c;
    }

    detail::Keychain keychain() const { return detail::Keychain(store); }

    void pair(bool withMobileDeviceID = true) {
        keychain().setString("isPaired", "isPaired");
        keychain().setString("installedApplicationID", "app-42");
        if (withMobileDeviceID)
            keychain().setString("mobileDeviceID", "device-7");
    }
};

} // namespace velquor::test
