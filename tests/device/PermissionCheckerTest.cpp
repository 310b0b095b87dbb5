#include "device/PermissionChecker.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace velquor::detail {
namespace {

TEST(PermissionCheckerTest, PlatformStatesMapToTheirTexts) {
    // status: camera, location, push, silent push
    const std::tuple<std::optional<int>, const char*, const char*, const char*, const char*> rows[] = {
        {0, "notDetermined", "notDetermined", "notDetermined", "restricted"},
        {1, "restricted", "restricted", "denied", "denied"},
        {2, "denied", "denied", "authorized", "available"},
        {3, "authorized", "authorizedAlways", "unknown", "unknown"},
        {4, "unknown", "authorizedWhenInUse", "unknown", "unknown"},
        {5, "unknown", "unknown", "unknown", "unknown"},
        {-1, "unknown", "unknown", "unknown", "unknown"},
        {std::nullopt, "unknown", "unknown", "unknown", "unknown"}};
    for (const auto& [status, camera, location, push, silent] : rows) {
        SCOPED_TRACE(status.value_or(99));
        EXPECT_EQ(PermissionChecker::cameraText(status), camera);
        EXPECT_EQ(PermissionChecker::locationText(true, status), location);
        EXPECT_EQ(PermissionChecker::locationText(std::nullopt, status), location);
        EXPECT_EQ(PermissionChecker::locationText(false, status), "notEnabled");
        EXPECT_EQ(PermissionChecker::pushText(status), push);
        EXPECT_EQ(PermissionChecker::silentPushText(status), silent);
    }
}

} // namespace
} // namespace velquor::detail
