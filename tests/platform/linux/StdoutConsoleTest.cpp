#include "platform/linux/StdoutConsole.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

TEST(StdoutConsole, WritesWholeLinesToStandardOutput) {
    StdoutConsole console;
    ::testing::internal::CaptureStdout();
    console.writeLine("Velquor Version 1.0.0(92)");
    console.writeLine("");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Velquor Version 1.0.0(92)\n\n");
}

} // namespace
} // namespace velquor::detail
