#include "device/DeviceInfo.hpp"

#include "DeviceTestSupport.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

using test::FixedBundle;
using test::FixedDeviceFacts;

TEST(DeviceInfoTest, LocaleTextAndApplicationName) {
    // Both parts, the region alone, or nothing (already checked in the device data: "en-US", "").
    EXPECT_EQ(DeviceInfo::localeText({std::nullopt, "US"}), "US");
    EXPECT_EQ(DeviceInfo::localeText({"en", std::nullopt}), "");

    auto facts = std::make_shared<FixedDeviceFacts>(nullptr);
    auto named = [&](std::map<std::string, std::string> values) {
        return DeviceInfo(facts, std::make_shared<FixedBundle>(std::move(values))).appName();
    };
    EXPECT_EQ(named({{"CFBundleDisplayName", "Shown"}, {"CFBundleName", "Plain"}}), "Shown");
    EXPECT_EQ(named({{"CFBundleName", "Plain"}}), "Plain");
    EXPECT_EQ(named({}), "");
}

} // namespace
} // namespace velquor::detail
