#include "state/Defaults.hpp"
#include "platform/memory/MemoryPreferences.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

TEST(Defaults, ProbeReadsNoValueUntilWrittenOpeningTheSuiteAfreshEachTime) {
    auto preferences = std::make_shared<MemoryPreferences>();
    Defaults defaults(preferences);
    EXPECT_EQ(defaults.getTempValue(), "noValue");
    defaults.setTempValue();
    EXPECT_EQ(defaults.getTempValue(), "tempValue");
    EXPECT_EQ(preferences->value("com.marvisTel.VelquorSDK", "tempValue"),
              MemoryPreferences::Value("tempValue"));
    EXPECT_EQ(preferences->openCount(), 3);
}

TEST(Defaults, UnopenableSuiteOrNonTextValueReadsAsNoValue) {
    auto preferences = std::make_shared<MemoryPreferences>();
    preferences->setCannotOpen(true);
    Defaults defaults(preferences);
    defaults.setTempValue();
    EXPECT_EQ(defaults.getTempValue(), "noValue");
    preferences->setCannotOpen(false);
    EXPECT_FALSE(preferences->value("com.marvisTel.VelquorSDK", "tempValue")) << "the write was skipped";

    preferences->setValue("com.marvisTel.VelquorSDK", "tempValue", true);
    EXPECT_EQ(defaults.getTempValue(), "noValue");
}

} // namespace
} // namespace velquor::detail
