// The public surface in this process: the library is configured once (temporary key store and
// application directory) by a test environment, then used only through <velquor/Velquor.hpp>.
#include "Core/Keychain.hpp"
#include "log/Log.hpp"
#include "log/MemoryLogSink.hpp"
#include "platform/linux/FileKeyStore.hpp"
#include "velquor_build/BuildConstants.hpp"

#include "../support/TestSupport.hpp"

#include <velquor/Velquor.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
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
    EXPECT_EQ(errorCodeFromRawValue(10008), ErrorCode::deviceNotPaired);
    EXPECT_FALSE(errorCodeFromRawValue(10010));
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

TEST_F(PublicInterface, GetInfoOnAnUnpairedDeviceAnswersOnALibraryThread) {
    struct Answer {
        std::optional<Json> info;
        std::optional<Error> error;
        std::thread::id thread;
    };
    Delivery<Answer> delivery;
    Velquor::getInfo([&](std::optional<Json> info, std::optional<Error> error) {
        delivery.deliver({std::move(info), std::move(error), std::this_thread::get_id()});
    });
    auto answer = delivery.wait();
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->info);
    ASSERT_TRUE(answer->error);
    EXPECT_EQ(answer->error->code(), 10008);
    EXPECT_EQ(answer->error->userInfo()["internalErrorCode"], 20051);
    EXPECT_EQ(answer->error->localizedDescription(), "Device is not paired.");
    EXPECT_NE(answer->thread, std::this_thread::get_id());
}

TEST_F(PublicInterface, SendLogsOnAnUnpairedDeviceAnswersBeforeReturning) {
    int calls = 0;
    std::optional<Error> received;
    std::thread::id thread;
    Velquor::sendLogs([&](std::optional<std::string> supportId, std::optional<Error> error) {
        ++calls;
        EXPECT_FALSE(supportId);
        received = std::move(error);
        thread = std::this_thread::get_id();
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(thread, std::this_thread::get_id());
    ASSERT_TRUE(received);
    EXPECT_EQ(received->code(), 10008);
    EXPECT_EQ(received->userInfo()["internalErrorCode"], 20047);
}

TEST_F(PublicInterface, RemoveLocalDataAndStayPairedWorkOnTheKeyStore) {
    auto keychain = storeKeychain();
    keychain.setString("isPaired", "isPaired");
    keychain.setString("dataCenter", "EU");
    keychain.setString("deviceFingerprint", "FP");
    Velquor::setDevicePairedAfterReinstall(true);
    EXPECT_EQ(keychain.getString("stayPaired").text, "stayPaired");

    Velquor::removeVelquorLocalData();
    EXPECT_FALSE(keychain.getString("isPaired").text);
    EXPECT_FALSE(keychain.getString("dataCenter").text);
    EXPECT_EQ(keychain.getString("deviceFingerprint").text, "FP");
    EXPECT_EQ(keychain.getString("stayPaired").text, "stayPaired");

    Velquor::setDevicePairedAfterReinstall(false);
    EXPECT_FALSE(keychain.getString("stayPaired").text);
    keychain.deleteString("deviceFingerprint");
}

TEST_F(PublicInterface, CategoriesDescribeTheAuthCategory) {
    auto categories = Velquor::getUNNotificationCategories();
    ASSERT_EQ(categories.size(), 1u);
    EXPECT_EQ(categories[0].identifier, "auth");
    ASSERT_EQ(categories[0].actions.size(), 2u);
    EXPECT_EQ(categories[0].actions[0].identifier, "Authenticate");
    EXPECT_EQ(categories[0].actions[0].options, 1u);
    EXPECT_EQ(categories[0].actions[1].identifier, "Deny");
    EXPECT_EQ(categories[0].actions[1].options, 2u);
}

TEST_F(PublicInterface, FlowsNotInThisBuildAnswerAnErrorExactlyOnce) {
    Delivery<std::optional<Error>> paired;
    Velquor::pair("01ABCDEF", [&](std::optional<Error> error) { paired.deliver(std::move(error)); });
    auto error = paired.wait();
    ASSERT_TRUE(error && *error);
    EXPECT_EQ((*error)->code(), 10000);
    EXPECT_EQ((*error)->userInfo()["internalErrorCode"], 20255);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(paired.count(), 1);

    EXPECT_TRUE(test::waitUntil([&] { return log->contains("not available in this build"); }));
}

TEST_F(PublicInterface, EmptyHandlersAreAcceptedAndTheOutcomeIsLogged) {
    Velquor::getInfo({});
    Velquor::sendLogs({});
    Velquor::pair("01", {});
    Velquor::setDeviceToken({1, 2}, APNSDeviceTokenType::production, {});
    Velquor::processRemoteNotification(Json::object(), {});
    Velquor::processRemoteNotificationAction("Deny", Json::object(), {});
    Velquor::processIdToken("x", {});
    EXPECT_TRUE(test::waitUntil([&] { return log->contains("\"internalErrorCode\":20051"); }));
    EXPECT_TRUE(log->contains("\"internalErrorCode\":20047"));
    EXPECT_TRUE(log->contains("\"internalErrorCode\":20018"));
}

TEST_F(PublicInterface, ThrowingHandlerOnALibraryThreadIsCaughtAndLogged) {
    Velquor::getInfo([](std::optional<Json>, std::optional<Error>) { throw std::runtime_error("boom"); });
    Delivery<int> next;
    Velquor::getInfo([&](std::optional<Json>, std::optional<Error>) { next.deliver(1); });
    ASSERT_TRUE(next.wait());
    EXPECT_TRUE(test::waitUntil([&] { return log->contains("Completion handler threw: boom"); }));
}

TEST_F(PublicInterface, ForegroundEventReachesTheLogicLayer) {
    Velquor::getUNNotificationCategories(); // started
    Velquor::applicationWillEnterForeground();
    EXPECT_TRUE(log->contains("App will enter foreground"));
}

} // namespace
} // namespace velquor
