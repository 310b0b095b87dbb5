#include "state/Defaults.hpp"
#include "platform/memory/MemoryPreferences.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

// The probe reads "noValue" until written, opening the suite afresh each time; an unopenable suite
// skips the write, and a value that is no text reads as "noValue".
TEST(Defaults, ProbeReadsNoValueUntilWrittenToAnOpenSuiteAsText) {
    auto preferences = std::make_shared<MemoryPreferences>();
    Defaults defaults(preferences);
    preferences->setCannotOpen(true);
    defaults.setTempValue();
    EXPECT_EQ(defaults.getTempValue(), "noValue");
    preferences->setCannotOpen(false);
    EXPECT_EQ(defaults.getTempValue(), "noValue") << "the write was skipped";
    defaults.setTempValue();
    EXPECT_EQ(defaults.getTempValue(), "tempValue");
    EXPECT_EQ(preferences->value("com.marvisTel.VelquorSDK", "tempValue"),
              MemoryPreferences::Value("tempValue"));
    EXPECT_EQ(preferences->openCount(), 5);

    preferences->setValue("com.marvisTel.VelquorSDK", "tempValue", true);
    EXPECT_EQ(defaults.getTempValue(), "noValue");
}

} // namespace
} // namespace velquor::detail
