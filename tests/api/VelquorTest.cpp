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
#include <tuple>

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

class PublicInterface : public testing::Test {
protected:
    void SetUp() override {
        detail::setLogSink(log);
        storeKeychain().removeAllItems();
    }
    void TearDown() override { detail::setLogSink(nullptr); }

    std::shared_ptr<detail::MemoryLogSink> log = std::make_shared<detail::MemoryLogSink>();
};

TEST(VersionSymbols, ComeFromTheBuildNumber) {
    EXPECT_EQ(std::string(VelquorVersionString),
              std::string("@(#)PROGRAM:Velquor  PROJECT:Velquor-") + build::kBuildNumber + "\n");
    EXPECT_EQ(VelquorVersionNumber, std::stod(build::kBuildNumber));
    EXPECT_EQ(std::string(build::kSdkVersion),
              std::string(build::kProjectVersion) + "(" + build::kBuildNumber + ")");
}

TEST(RawValues, ConstructOnlyFromTheirRawValues) {
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

TEST_F(PublicInterface, ConfigureRefusesABadBaseAddressAndSaysWhy) {
    Configuration bad = ConfiguredLibrary::configuration();
    bad.europeBaseURL = "http://api.example/";
    EXPECT_FALSE(Velquor::configure(bad));
    EXPECT_TRUE(log->contains("base address \"http://api.example/\": the address is not an https address"));
}

TEST_F(PublicInterface, ConfigureIsRefusedOnceThePlatformIsInUse) {
    Velquor::getUNNotificationCategories();
    Configuration other = ConfiguredLibrary::configuration();
    other.keyStoreDirectory = ConfiguredLibrary::directory().path() / "elsewhere";
    EXPECT_FALSE(Velquor::configure(other));
    Velquor::setDevicePairedAfterReinstall(true);
    EXPECT_EQ(storeKeychain().getString("stayPaired").text, "stayPaired")
        << "the first configuration still holds";
    EXPECT_FALSE(std::filesystem::exists(other.keyStoreDirectory));
    Velquor::setDevicePairedAfterReinstall(false);
}

// The public entry points forward to the logic layer, which is tested on its own: here only that
// each answer arrives, once, with its own code and on the thread the public contract names.
TEST_F(PublicInterface, OperationsForwardTheirAnswersOnTheRightThread) {
    struct Answer {
        std::optional<Error> error;
        std::thread::id thread;
    };
    Delivery<Answer> info, logs, paired;
    Velquor::getInfo([&](std::optional<Json> value, std::optional<Error> error) {
        EXPECT_FALSE(value);
        info.deliver({std::move(error), std::this_thread::get_id()});
    });
    Velquor::sendLogs([&](std::optional<std::string> supportId, std::optional<Error> error) {
        EXPECT_FALSE(supportId);
        logs.deliver({std::move(error), std::this_thread::get_id()});
    });
    EXPECT_EQ(logs.count(), 1) << "an unpaired sendLogs answers before returning";
    Velquor::pair("01ABCDEF", [&](std::optional<Error> error) {
        paired.deliver({std::move(error), std::this_thread::get_id()});
    });
    const std::tuple<Delivery<Answer>*, int, int, bool> expected[] = {
        {&info, 10008, 20051, false}, {&logs, 10008, 20047, true}, {&paired, 10000, 20255, false}};
    for (const auto& [delivery, code, internal, onCaller] : expected) {
        auto answer = delivery->wait();
        ASSERT_TRUE(answer && answer->error) << internal;
        EXPECT_EQ(answer->error->code(), code);
        EXPECT_EQ(answer->error->userInfo()["internalErrorCode"], internal);
        EXPECT_EQ(answer->thread == std::this_thread::get_id(), onCaller) << internal;
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
}

// What removal keeps and deletes is the keychain's, tested there; here only that it reaches the
// configured store.
TEST_F(PublicInterface, RemoveLocalDataWorksOnTheConfiguredKeyStore) {
    auto keychain = storeKeychain();
    keychain.setString("isPaired", "isPaired");
    Velquor::removeVelquorLocalData();
    EXPECT_FALSE(keychain.getString("isPaired").text);
}

} // namespace
} // namespace velquor
