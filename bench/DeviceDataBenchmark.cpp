// What describing the device costs per request: the bundle step on an answer address, a one-shot
// reachability query on the running system's routing table, the whole device data, and a signed
// request token (claim set + RS256 over it).
#include "device/DataManager.hpp"
#include "device/Reachability.hpp"
#include "platform/linux/LinuxDeviceFacts.hpp"
#include "platform/linux/LinuxNotificationCenter.hpp"
#include "platform/linux/LinuxReachabilityFlagSource.hpp"
#include "platform/linux/ThreadPoolDispatchQueues.hpp"
#include "platform/memory/MemoryKeyStore.hpp"
#include "remote/RequestToken.hpp"
#include "remote/Substance.hpp"
#include "state/Keychain.hpp"

#include <benchmark/benchmark.h>

namespace velquor::detail {
namespace {

class HostBundle : public BundleInfo {
public:
    std::optional<std::string> mainBundleValue(const std::string& key) const override {
        if (key == "CFBundleIdentifier")
            return "com.example.host";
        return std::nullopt;
    }
    std::string localizedString(const std::string&, const std::string& fallback) const override {
        return fallback;
    }
};

struct Environment {
    std::shared_ptr<ThreadPoolDispatchQueues> queues = std::make_shared<ThreadPoolDispatchQueues>();
    std::shared_ptr<MemoryKeyStore> store =
        std::make_shared<MemoryKeyStore>(MemoryKeyStore::KeyGeneration::shared);
    std::shared_ptr<DataManager> manager;

    Environment() {
        DataManager::Collaborators c;
        c.keyStore = store;
        c.deviceFacts = std::make_shared<LinuxDeviceFacts>(queues);
        c.bundle = std::make_shared<HostBundle>();
        c.reachabilityFlags = std::make_shared<LinuxReachabilityFlagSource>();
        c.queues = queues;
        c.notificationCenter = std::make_shared<LinuxNotificationCenter>();
        manager = DataManager::make(c);
        Keychain keychain(store);
        keychain.getDevicePublicKeyString();
        keychain.setString("isPaired", "isPaired");
        keychain.setString("mobileDeviceID", "device-7");
    }
};

void BM_BundleStep(benchmark::State& state) {
    const std::string address = "https://svc.example:8443/v1/push/5f1c?x=1&y=%2F#top";
    for (auto _ : state)
        benchmark::DoNotOptimize(Substance::addingBundleIdentifier(address, "com.example.host"));
}
BENCHMARK(BM_BundleStep);

void BM_ReachabilityOneShot(benchmark::State& state) {
    Environment environment;
    LinuxReachabilityFlagSource source;
    auto center = std::make_shared<LinuxNotificationCenter>();
    for (auto _ : state) {
        auto reachability = Reachability::create(source.createWithAnyIPv4Address(),
                                                 QualityOfService::defaultQoS, environment.queues, center);
        benchmark::DoNotOptimize(reachability->connection());
    }
}
BENCHMARK(BM_ReachabilityOneShot)->Unit(benchmark::kMicrosecond);

void BM_DeviceData(benchmark::State& state) {
    Environment environment;
    for (auto _ : state)
        benchmark::DoNotOptimize(environment.manager->getDeviceData());
}
BENCHMARK(BM_DeviceData)->Unit(benchmark::kMicrosecond);

void BM_SignedRequestToken(benchmark::State& state) {
    Environment environment;
    RequestToken tokens(environment.manager, environment.store);
    Substance request("https://api.example/v1/deviceInfo", std::nullopt, "deviceInfo", "com.example.host");
    for (auto _ : state)
        benchmark::DoNotOptimize(tokens.makeRequestToken(request));
}
BENCHMARK(BM_SignedRequestToken)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace velquor::detail

BENCHMARK_MAIN();
