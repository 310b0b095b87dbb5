// The public surface in this process: the library is configured once (temporary key store and
// application directory) by a test environment, then used only through <velquor/Velquor.hpp>.
#include "log/Log.hpp"
#include "log/MemoryLogSink.hpp"
#include "platform/linux/FileKeyStore.hpp"
#include "state/Keychain.hpp"
#include "velquor_build/BuildConstants.hpp"

#include "TestSupport.hpp"

#include <velquor/Velquor.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace velquor {
namespace {

using test::Delivery;

// The process's data directory, configured before the first operation.
class ConfiguredLibrary : public testing::Environment {
public:
    static test::TempDir& directory() {
        static auto* dir = new test::TempDir; // outlives the library's threads
        return *dir;
    }
    static Configuration configuration() {
        Configuration configuration;
        configuration.keyStoreDirectory = directory().path() / "keystore";
        configuration.applicationDirectory = directory().path() / "application";
        configuration.hostApplication = {"com.example.publictests", "Tests", "Tests", "3.0", "5"};
        // Nothing listens there: a request that gets out fails at once, never on a real network.
        configuration.northAmericaBaseURL = configuration.europeBaseURL = configuration.asiaPacificBaseURL =
            "https://127.0.0.1:9/";
        return configuration;
    }
    void SetUp() override { ASSERT_TRUE(Velquor::configure(configuration())); }
};

[[maybe_unused]] testing::Environment* const environment =
    testing::AddGlobalTestEnvironment(new ConfiguredLibrary);

// The library's key store, read and written beside the library as another process part would.
detail::Keychain storeKeychain() {
    return detail::Keychain(
        std::make_shared<detail::FileKeyStore>(ConfiguredLibrary::directory().path() / "keystore"));
}

TEST(VelquorVersionSymbols, ComeFromTheBuildNumber) {
    EXPECT_EQ(std::string(VelquorVersionString),
              std::string("@(#)PROGRAM:Velquor  PROJECT:Velquor-") + build::kBuildNumber + "\n");
    EXPECT_EQ(VelquorVersionNumber, std::stod(build::kBuildNumber));
    // The compile-time macros say the same as the symbols and the "sdkVersion" text.
    EXPECT_STREQ(VELQUOR_VERSION_STRING, VelquorVersionString);
    EXPECT_EQ(VELQUOR_VERSION_NUMBER, VelquorVersionNumber);
    EXPECT_EQ(VELQUOR_BUILD_NUMBER, VelquorVersionNumber);
    EXPECT_STREQ(VELQUOR_SDK_VERSION, build::kSdkVersion);
    EXPECT_EQ(std::to_string(VELQUOR_VERSION_MAJOR) + "." + std::to_string(VELQUOR_VERSION_MINOR) + "." +
                  std::to_string(VELQUOR_VERSION_PATCH),
              build::kProjectVersion);
}

TEST(VelquorRawValues, ConstructOnlyFromTheirRawValues) {
    EXPECT_EQ(apnsDeviceTokenTypeFromRawValue(0), APNSDeviceTokenType::production);
    EXPECT_EQ(apnsDeviceTokenTypeFromRawValue(1), APNSDeviceTokenType::sandbox);
    EXPECT_FALSE(apnsDeviceTokenTypeFromRawValue(2));
    EXPECT_FALSE(apnsDeviceTokenTypeFromRawValue(-1));
    EXPECT_EQ(notificationTypeFromRawValue(-1), NotificationObject::NotificationType::unrecognized);
    EXPECT_EQ(notificationTypeFromRawValue(0), NotificationObject::NotificationType::other);
    EXPECT_EQ(notificationTypeFromRawValue(1), NotificationObject::NotificationType::authentication);
    EXPECT_FALSE(notificationTypeFromRawValue(2));
    EXPECT_FALSE(notificationTypeFromRawValue(-2));
}

// The public entry points forward to the logic layer, whose answers and threads are tested on
// their own: here only that each operation reaches the process's layer, working on the configured
// key store, and answers once. Before that, a configure with a bad base address is refused with why.
TEST(VelquorPublicInterface, OperationsReachTheConfiguredLayer) {
    const auto log = std::make_shared<detail::MemoryLogSink>();
    detail::setLogSink(log);
    Configuration bad = ConfiguredLibrary::configuration();
    bad.europeBaseURL = "http://api.example/";
    EXPECT_FALSE(Velquor::configure(bad));
    EXPECT_TRUE(log->contains("base address \"http://api.example/\": the address is not an https address"));

    Delivery<std::optional<Error>> info, logs, paired;
    Velquor::getInfo([&](std::optional<Json>, std::optional<Error> error) { info.deliver(error); });
    Velquor::sendLogs([&](std::optional<std::string>, std::optional<Error> error) { logs.deliver(error); });
    Velquor::pair("01ABCDEF", [&](std::optional<Error> error) { paired.deliver(error); });
    const std::pair<Delivery<std::optional<Error>>*, int> expected[] = {
        {&info, 20051}, {&logs, 20047}, {&paired, 20001}};
    for (const auto& [delivery, internal] : expected) {
        auto answer = delivery->wait();
        ASSERT_TRUE(answer && *answer) << internal;
        EXPECT_EQ((*answer)->userInfo()["internalErrorCode"], internal);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(info.count() + logs.count() + paired.count(), 3);

    // Empty handlers are accepted; the outcome is still logged.
    Velquor::setDeviceToken({1, 2}, APNSDeviceTokenType::production, {});
    Velquor::processRemoteNotification(Json::object(), {});
    Velquor::processRemoteNotificationAction("Deny", Json::object(), {});
    Velquor::processIdToken("x", {});
    EXPECT_TRUE(log->contains("\"internalErrorCode\":20018"));

    EXPECT_EQ(Velquor::getUNNotificationCategories().at(0).identifier, "auth");
    Velquor::applicationWillEnterForeground();
    EXPECT_TRUE(log->contains("App will enter foreground"));

    // What removal keeps and deletes is the keychain's, tested there.
    auto keychain = storeKeychain();
    keychain.setString("isPaired", "isPaired");
    Velquor::removeVelquorLocalData();
    EXPECT_FALSE(keychain.getString("isPaired").text);
    detail::setLogSink(nullptr);
}

} // namespace
} // namespace velquor
