#include "zip/DOSDateTime.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

using namespace std::chrono;

struct DateCase {
    sys_seconds moment;
    std::uint16_t date, time;
};
class DOSDateTimeTest : public ::testing::TestWithParam<DateCase> {};

// The archive layout test checks a leap day.
TEST_P(DOSDateTimeTest, ConvertsInUTCAndClampsTheYear) {
    const auto stamp = DOSDateTime::from(GetParam().moment);
    EXPECT_EQ(stamp.date, GetParam().date);
    EXPECT_EQ(stamp.time, GetParam().time);
}

INSTANTIATE_TEST_SUITE_P(Moments, DOSDateTimeTest,
                         ::testing::Values(DateCase{sys_days{1975y / 6 / 15} + 1s, 15 + 6 * 32, 0},
                                           DateCase{sys_days{2150y / 1 / 1} + 23h + 59min + 58s,
                                                    1 + 32 + 119 * 512, 29 + 59 * 32 + 23 * 2048}));

} // namespace
} // namespace velquor::detail
