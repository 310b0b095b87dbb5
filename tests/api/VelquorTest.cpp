// The public surface in this process, over the process platform the test support points at a
// temporary directory and a loopback address, used only through <velquor/Velquor.hpp>; and
// whole-process behaviour, each scenario in a fresh child process (velquor_test_host), checked by
// all it writes to standard output (the version line is the start-up's, on the standard console).
#include "state/Keychain.hpp"
#include "velquor_build/BuildConstants.hpp"

#include "FoundationSupport.hpp"

#include <velquor/Velquor.hpp>

#include <gtest/gtest.h>

namespace velquor {
namespace {

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
    test::Delivery<std::optional<Error>> logs;
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

// The object processIdToken makes has no layer of its own: approving it starts the process's,
// once, however many other threads make their first call at the same time. Leaving with work
// queued exits at once: the handlers sleep 30 s, past the deadline. One throwing host service skips
// its start-up step only: start-up runs once and every asynchronous handler still answers once, on
// a library thread. A host's global constructor gets the answer main gets, with no start-up.
TEST(VelquorProcess, ScenariosEndCleanlyHavingWrittenWhatTheyShould) {
    const std::string version = "Velquor Version 1.0.0(92)\n";
    const std::pair<const char*, std::string> scenarios[] = {
        {"idtoken-only", "init-lines=0\n" + version + "approved=20001 init-lines=1\n"},
        {"exit-with-work-return", version + "queued\n"},
        {"exit-with-work-exit", version + "queued\n"},
        {"throwing-console", "calls=3 on-caller=0 init-lines=1 skipped=1\n"},
        {"throwing-preferences", version + "calls=3 on-caller=0 init-lines=1 skipped=1\n"},
        {"payload-before-main", "before-main=payload main=payload\n"}};
    for (const auto& [name, output] : scenarios) {
        SCOPED_TRACE(name);
        test::TempDir dir;
        test::expectChildExit(VELQUOR_TEST_HOST, {name, dir.path().string()}, 0, output,
                              std::chrono::seconds(20));
    }
}

} // namespace
} // namespace velquor
