
#include "DeviceTestSupport.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace velquor::detail {
namespace {

using test::FixedBundle;
using test::FixedDeviceFacts;

std::set<std::string> keysOf(const Json& object) {
    std::set<std::string> keys;
    for (const auto& [key, value] : object.items())
        keys.insert(key);
    return keys;
}

class DataManagerTest : public ::testing::Test {
protected:
    // Waits until both permission answers requested so far have landed.
    void settlePermissions(const std::shared_ptr<DataManager>& manager) {
        ASSERT_TRUE(test::waitUntil([&] {
            return manager->pushPermission() != "unknown" && manager->silentPushPermission() != "unknown";
        }));
    }

    test::DeviceFixture fixture;
};

TEST_F(DataManagerTest, DeviceDataCarriesEveryKeyWithItsTextAndType) {
    fixture.keychain().setString("deviceMarketName", "iPhone 11");
    auto manager = DataManager::make(fixture.collaborators());
    manager->setApnsSandbox(true);
    fixture.facts->hold();
    // clang-format off
    const Json expected = Json::parse(R"x({"os": {"version": "17.2", "type": "IOS"}, "name": "Test Phone",
        "model": {"name": "iPhone12,1", "marketingName": "iPhone 11"}, "manufacturer": "Apple", "apiVersion": "v1",
        "sdkVersion": "1.0.0(92)", "rooted": false, "lockEnabled": "true", "locale": "en-US", "networkType": "WiFi",
        "networksInfo": "unknown", "application": {"bundleId": "com.example.host", "version": "2.3.1(417)",
        "name": "Host App", "pushSandbox": true}, "permissions": {"camera": "authorized",
        "location": "authorizedWhenInUse", "push": "unknown", "silentPush": "unknown"}})x");
    // clang-format on
    EXPECT_EQ(manager->getDeviceData(), expected) << "equality also compares types: true is not \"true\"";

    auto values = fixture.facts->values();
    values.locale = {std::nullopt, "US"};
    fixture.facts->set(values);
    EXPECT_EQ(manager->getDeviceData()["locale"], "US") << "the region alone";
}

// Also with a key store that cannot be read: the device data never fails, the claim sets do.
// Texts that are not UTF-8 are cleaned, so the JSON can be written.
TEST_F(DataManagerTest, MissingFactsBecomeTheirFallbackTextsAndBrokenTextsAreCleaned) {
    fixture.store->setForcedStatus(MemoryKeyStore::Operation::copyPassword, kKeyStoreIOError);
    fixture.keychain().setString("deviceMarketName", "iPhone 11");
    FixedDeviceFacts::Values none{.locale = {"en", std::nullopt}, .lock = false};
    none.systemVersion = none.deviceName = none.modelIdentifier = std::nullopt;
    none.camera = none.location = none.notification = none.backgroundRefresh = std::nullopt;
    none.locationEnabled = std::nullopt;
    fixture.facts->set(none);
    auto collaborators = fixture.collaborators();
    collaborators.bundle = std::make_shared<FixedBundle>(std::map<std::string, std::string>{});
    collaborators.reachabilityFlags = nullptr;
    auto manager = DataManager::make(collaborators);
    // clang-format off
    const Json expected = Json::parse(R"x({"os": {"version": "unknown", "type": "IOS"}, "name": "unknown",
        "model": {"name": "unknown", "marketingName": ""}, "manufacturer": "Apple", "apiVersion": "v1",
        "sdkVersion": "1.0.0(92)", "rooted": false, "lockEnabled": "false", "locale": "", "networkType": "Other",
        "networksInfo": "unknown", "application": {"bundleId": "", "version": "", "name": "", "pushSandbox": false},
        "permissions": {"camera": "unknown", "location": "unknown", "push": "unknown", "silentPush": "unknown"}})x");
    // clang-format on
    EXPECT_EQ(manager->getDeviceData(), expected);
    EXPECT_EQ(manager->appVersion(), std::nullopt);
    EXPECT_EQ(manager->getRequestClaims(), std::nullopt) << "no fingerprint";
    EXPECT_EQ(manager->getPayloadClaims(), std::nullopt);

    fixture.facts->set({.systemVersion = std::string("17\xc3"),
                        .deviceName = std::string("Phone\xff"),
                        .modelIdentifier = std::string("x\x80"),
                        .locale = {std::string("e\xfe"), std::string("U\xfe")}});
    collaborators.bundle = std::make_shared<FixedBundle>(
        std::map<std::string, std::string>{{"CFBundleIdentifier", "com.\xff"}, {"CFBundleName", "N\xff"}});
    Json data = DataManager::make(collaborators)->getDeviceData();
    EXPECT_NO_THROW((void)data.dump());
    EXPECT_EQ(data["name"], "Phone\xEF\xBF\xBD");
    EXPECT_EQ(data["os"]["version"], "17\xEF\xBF\xBD");
    EXPECT_EQ(data["model"]["name"], "x\xEF\xBF\xBD");
    EXPECT_EQ(data["locale"], "e\xEF\xBF\xBD-U\xEF\xBF\xBD");
    EXPECT_EQ(data["application"]["bundleId"], "com.\xEF\xBF\xBD");
    EXPECT_EQ(data["application"]["name"], "N\xEF\xBF\xBD");
}

TEST_F(DataManagerTest, NetworkTypeFollowsTheRoutingTable) {
    // Wi-Fi, the fixture's own table, is the first test's.
    auto manager = DataManager::make(fixture.collaborators());
    test::writeRoutes(fixture.routes.path(), "wwan0");
    EXPECT_EQ(manager->getDeviceData()["networkType"], "Cellular");

    // No connection at all is "Cellular"; only a source that cannot answer is "Other".
    test::writeRoutes(fixture.routes.path(), "");
    EXPECT_EQ(manager->getDeviceData()["networkType"], "Cellular");

    std::filesystem::remove_all(fixture.routes.path() / "proc");
    EXPECT_EQ(manager->getDeviceData()["networkType"], "Other");
}

TEST_F(DataManagerTest, PermissionAnswersArriveLaterAndShowInTheNextBuild) {
    auto manager = DataManager::make(fixture.collaborators());
    fixture.facts->hold();
    manager->getDeviceData(); // asks; "unknown" until answered is the first test's
    fixture.facts->release();
    settlePermissions(manager);
    EXPECT_FALSE(fixture.facts->backgroundReadOffMain());

    Json second = manager->getDeviceData();
    EXPECT_EQ(second["permissions"]["push"], "authorized");
    EXPECT_EQ(second["permissions"]["silentPush"], "available");

    // A changed answer replaces the stored text; location services off outrank the location status.
    auto values = fixture.facts->values();
    values.notification = 1;
    values.backgroundRefresh = 0;
    values.camera = 0;
    values.locationEnabled = false;
    fixture.facts->set(values);
    manager->getDeviceData(); // every build asks again, however soon after the last
    ASSERT_TRUE(test::waitUntil([&] {
        return manager->pushPermission() == "denied" && manager->silentPushPermission() == "restricted";
    }));
    EXPECT_EQ(manager->getDeviceData()["permissions"], (Json{{"camera", "notDetermined"},
                                                             {"location", "notEnabled"},
                                                             {"push", "denied"},
                                                             {"silentPush", "restricted"}}));

    // Answers for a dropped manager are discarded: the main-queue read still runs; its completion
    // finds nothing to write into.
    const int readsBefore = fixture.facts->backgroundReads();
    manager->refreshPermissions();
    manager.reset();
    ASSERT_TRUE(test::waitUntil([&] { return fixture.facts->backgroundReads() > readsBefore; }));
}

// Before and after pairing: the claim sets' members, and two sets built at one instant differ in
// "jti" only. The claims' values (fingerprint, payload metadata, "dvc") and distinct "jti" values
// are the request token's tests'.
TEST_F(DataManagerTest, ClaimSetsBeforeAndAfterPairingDifferInJtiOnly) {
    using Keys = std::set<std::string>;
    auto manager = DataManager::make(fixture.collaborators());
    manager->refreshPermissions();
    settlePermissions(manager);
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    for (bool paired : {false, true}) {
        SCOPED_TRACE(paired);
        if (paired)
            fixture.pair();
        const auto request = manager->getRequestClaims(), payload = manager->getPayloadClaims();
        ASSERT_TRUE(request && payload);
        const Keys unpaired{"metadata", "fnp", "jti", "exp"};
        EXPECT_EQ(keysOf(*request),
                  (paired ? Keys{"metadata", "fnp", "iss", "dvc", "jti", "exp"} : unpaired));
        EXPECT_EQ(keysOf(*payload), (paired ? Keys{"fnp", "iss", "dvc", "jti", "exp"} : unpaired));
        EXPECT_EQ(keysOf((*request)["metadata"]).size(), 13u);
        EXPECT_EQ((*payload)["fnp"], (*request)["fnp"]);
        EXPECT_EQ(request->value("iss", Json()), paired ? Json("app-42") : Json());
        for (auto claims : {&DataManager::getRequestClaims, &DataManager::getPayloadClaims}) {
            auto a = ((*manager).*claims)(), b = ((*manager).*claims)();
            ASSERT_TRUE(a && b);
            EXPECT_EQ((*a)["exp"], 1'700'000'120);
            EXPECT_TRUE((*a)["exp"].is_number_integer());
            EXPECT_TRUE(std::regex_match((*a)["jti"].get<std::string>(), uuid)) << (*a)["jti"];
            a->erase("jti");
            b->erase("jti");
            EXPECT_EQ(*a, *b);
        }
    }
}

} // namespace
} // namespace velquor::detail
