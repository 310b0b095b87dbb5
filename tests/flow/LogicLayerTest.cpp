// Start-up of the logic layer: the version line, the reinstall check in each of its states, the
// foreground registration and the delayed refresh. Each test starts its own instance.
#include "FlowTestSupport.hpp"

namespace velquor::detail {
namespace {

constexpr const char* kSuite = "com.marvisTel.VelquorSDK";

class LogicLayerStartUp : public LayerTest {
protected:
    // A device that was paired: its items, the device and service keys.
    void storePairing() {
        Keychain keychain(services.keyStore);
        keychain.setString("isPaired", "isPaired");
        keychain.setString("mobileDeviceID", "device-1");
        keychain.setString("deviceFingerprint", "FINGERPRINT");
        const auto devicePublicKey = keychain.getDevicePublicKeyString();
        ASSERT_TRUE(devicePublicKey);
        ASSERT_EQ(keychain.setServerPublicKey(*devicePublicKey), std::nullopt);
    }
    std::optional<MemoryPreferences::Value> suiteValue(const char* key) const {
        return services.preferences->value(kSuite, key);
    }
};

// A fresh install writes the version line, logs its start and writes nothing; its refresh asks nothing.
TEST_F(LogicLayerStartUp, FreshInstallWritesTheVersionLineAndNothingElse) {
    auto layer = start();
    EXPECT_EQ(services.console->lines(), std::vector<std::string>{"Velquor Version 1.0.0(92)"});
    EXPECT_EQ(log->count("Velquor init"), 1u);
    EXPECT_FALSE(log->contains("Velquor Version")) << "the version line is not logged";
    EXPECT_EQ(services.keyStore->itemCount() +
                  services.keyStore->callCount(MemoryKeyStore::Operation::replacePassword),
              0u);
    EXPECT_FALSE(suiteValue("tempValue") || suiteValue("isPaired"));
    EXPECT_FALSE(log->contains("Keep trust") || log->contains("Clean up"));

    EXPECT_EQ(services.queues->delayedDelays(),
              std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(1000)});
    services.queues->runDelayedMain();
    EXPECT_TRUE(services.queues->globalQualities().empty()) << "no device-information body was queued";
    EXPECT_FALSE(log->contains("getPairedUserDevices"));
}

// Whether "stayPaired" is set; whether the suite loses the probe write; whether it cannot be opened.
class LogicLayerReinstall : public LogicLayerStartUp,
                            public testing::WithParamInterface<std::tuple<bool, bool, bool>> {};

// A reinstall (a pairing's items, the suite's flag unset) keeps trust with "stayPaired", else
// cleans up; the probe is removed again either way. A probe write that is lost, or a suite that
// cannot be opened, must not be taken for a reinstall.
TEST_P(LogicLayerReinstall, KeepsTrustOnlyWithStayPairedAndOnlyOnAReliableSuite) {
    const auto [stayPaired, losesWrites, cannotOpen] = GetParam();
    const bool checked = !losesWrites && !cannotOpen, kept = stayPaired || !checked;
    storePairing();
    if (stayPaired)
        Keychain(services.keyStore).setString("stayPaired", "stayPaired");
    services.preferences->setLosesWrites(losesWrites);
    services.preferences->setCannotOpen(cannotOpen);
    const auto itemsBefore = services.keyStore->itemCount();

    auto layer = start();

    EXPECT_EQ(suiteValue("isPaired"),
              checked && stayPaired ? std::optional(MemoryPreferences::Value(true)) : std::nullopt);
    EXPECT_FALSE(suiteValue("tempValue"));
    // What removal deletes and keeps is the keychain's own test; here only whether it ran.
    EXPECT_EQ(services.keyStore->itemCount() == itemsBefore, kept);
    EXPECT_EQ(services.keyStore->callCount(MemoryKeyStore::Operation::deletePassword) == 0, kept);
    EXPECT_EQ(Keychain(services.keyStore).getString("mobileDeviceID").text.has_value(), kept);
    EXPECT_EQ(services.keyStore->hasKey(std::string(items::kDevicePrivateKeyTag)), kept);
    EXPECT_EQ(log->count("Keep trust"), checked && stayPaired ? 1u : 0u);
    EXPECT_EQ(log->count("Clean up"), kept ? 0u : 1u);
    EXPECT_EQ(log->count("Velquor init"), 1u);
    EXPECT_EQ(layer->isPaired(), kept);
}

INSTANTIATE_TEST_SUITE_P(Cases, LogicLayerReinstall,
                         testing::Values(std::tuple(false, false, false), std::tuple(true, false, false),
                                         std::tuple(false, true, false), std::tuple(false, false, true)));

TEST_F(LogicLayerStartUp, ReinstallOnTheLinuxStoresIsDeletingTheApplicationDirectory) {
    auto firstRun = LogicLayer::create(services.platform(dir.path(), false));
    Keychain keychain(firstRun->platform().services.keyStore);
    keychain.setString("isPaired", "isPaired");
    keychain.setString("mobileDeviceID", "device-1");
    auto suite = firstRun->platform().services.preferences->open(kSuite);
    ASSERT_TRUE(suite);
    suite->setBool("isPaired", true);
    ASSERT_TRUE(suite->synchronize());
    suite.reset();
    firstRun.reset();

    // A normal second start keeps everything.
    auto secondRun = LogicLayer::create(services.platform(dir.path(), false));
    EXPECT_TRUE(secondRun->isPaired());
    EXPECT_FALSE(log->contains("Clean up"));
    secondRun.reset();

    std::filesystem::remove_all(dir.path() / "application");
    auto afterReinstall = LogicLayer::create(services.platform(dir.path(), false));
    EXPECT_EQ(log->count("Clean up"), 1u);
    EXPECT_FALSE(afterReinstall->isPaired());
    EXPECT_FALSE(Keychain(afterReinstall->platform().services.keyStore).getString("mobileDeviceID").text);
}

// A normal paired start does not run the reinstall check. Each foreground event schedules its own
// refresh; a destroyed instance stops listening and its late refresh does nothing.
TEST_F(LogicLayerStartUp, EachForegroundEventSchedulesItsOwnRefreshUntilTheInstanceIsGone) {
    storePairing();
    services.preferences->setValue(kSuite, "isPaired", true);
    auto layer = start();
    // Start-up opened the suite once to read "isPaired"; the check would open it again for the
    // probe, and would read the key store.
    EXPECT_EQ(services.preferences->openCount(), 1);
    EXPECT_EQ(services.keyStore->callCount(MemoryKeyStore::Operation::copyPassword), 0);
    EXPECT_FALSE(suiteValue("tempValue"));
    services.queues->runDelayedMain();
    ASSERT_TRUE(test::waitUntil([&] { return log->count("getPairedUserDevices") == 1; }));

    auto center = layer->platform().services.notificationCenter;
    center->post(LogicLayer::kWillEnterForegroundNotification, nullptr);
    center->post(LogicLayer::kWillEnterForegroundNotification, nullptr);
    EXPECT_EQ(log->count("App will enter foreground"), 2u);
    EXPECT_EQ(services.queues->delayedDelays().size(), 2u);
    services.queues->runDelayedMain();
    EXPECT_TRUE(test::waitUntil([&] { return log->count("getPairedUserDevices") == 3; }));

    center->post(LogicLayer::kWillEnterForegroundNotification, nullptr);
    const auto queued = services.queues->globalQualities().size();
    std::weak_ptr<LogicLayer> gone = layer;
    layer.reset();
    ASSERT_TRUE(test::waitUntil([&] { return gone.expired(); }));
    center->post(LogicLayer::kWillEnterForegroundNotification, nullptr);
    EXPECT_EQ(log->count("App will enter foreground"), 3u);
    services.queues->runDelayedMain();
    EXPECT_EQ(services.queues->globalQualities().size(), queued);
}

// The stored data center selects the region; anything else, or nothing, is North America.
TEST_F(LogicLayerStartUp, StoredDataCenterSelectsTheBaseAddress) {
    auto layer = start();
    const auto& configuration = layer->platform().configuration;
    const std::pair<const char*, std::string> cases[] = {
        {"NA", configuration.northAmericaBaseURL}, {"EU", configuration.europeBaseURL},
        {"AU", configuration.asiaPacificBaseURL},  {"eu", configuration.northAmericaBaseURL},
        {"XX", configuration.northAmericaBaseURL}, {"", configuration.northAmericaBaseURL},
        {"EU ", configuration.northAmericaBaseURL}};
    EXPECT_EQ(layer->baseURL(), configuration.northAmericaBaseURL);
    for (const auto& [dataCenter, expected] : cases) {
        Keychain(services.keyStore).setString("dataCenter", dataCenter);
        EXPECT_EQ(layer->baseURL(), expected) << '"' << dataCenter << '"';
    }
}

} // namespace
} // namespace velquor::detail
