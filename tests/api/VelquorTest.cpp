// The public surface in this process, over the process platform the test support points at a
// temporary directory and a loopback address, used only through <velquor/Velquor.hpp>.
#include "state/Keychain.hpp"
#include "velquor_build/BuildConstants.hpp"

#include "FoundationSupport.hpp"

#include <velquor/Velquor.hpp>

#include <gtest/gtest.h>

namespace velquor {
namespace {

using test::Delivery;

// The compile-time macros say the same as the symbols (which follow the build number, and the
// "sdkVersion" macro with them: the install test with another build number).
TEST(VelquorVersionSymbols, MacrosMatchTheSymbols) {
    EXPECT_STREQ(VELQUOR_VERSION_STRING, VelquorVersionString);
    EXPECT_EQ(VELQUOR_VERSION_NUMBER, VelquorVersionNumber);
    EXPECT_EQ(VELQUOR_BUILD_NUMBER, VelquorVersionNumber);
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
// their own: here only that the operations the child host program does not use reach the process's
// layer, working on the process's key store. (A refused configure: the process log test.)
TEST(VelquorPublicInterface, OperationsReachTheProcessLayer) {
    test::ScopedLogSink log;
    Delivery<std::optional<Error>> logs;
    Velquor::sendLogs([&](std::optional<std::string>, std::optional<Error> error) { logs.deliver(error); });
    const auto answer = logs.wait();
    ASSERT_TRUE(answer && *answer);
    EXPECT_EQ((*answer)->userInfo()["internalErrorCode"], 20047);

    // Empty handlers are accepted; the outcome is still logged.
    Velquor::setDeviceToken({1, 2}, APNSDeviceTokenType::production, {});
    Velquor::processRemoteNotification(Json::object(), {});
    Velquor::processRemoteNotificationAction("Deny", Json::object(), {});
    Velquor::processIdToken("x", {});
    EXPECT_TRUE(log->contains("\"internalErrorCode\":20018"));

    Velquor::applicationWillEnterForeground();
    EXPECT_TRUE(log->contains("App will enter foreground"));

    // What removal keeps and deletes is the keychain's, tested there.
    detail::Keychain keychain(detail::PlatformContext::get().services.keyStore);
    keychain.setString("isPaired", "isPaired");
    Velquor::removeVelquorLocalData();
    EXPECT_FALSE(keychain.getString("isPaired").text);
}

} // namespace
} // namespace velquor
