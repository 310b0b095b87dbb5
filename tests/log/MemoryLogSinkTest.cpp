#include "log/MemoryLogSink.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

TEST(MemoryLogSink, KeepsTheNewestLinesUpToItsCapacity) {
    MemoryLogSink sink(3);
    for (int i = 0; i < 5; ++i)
        sink.write(LogLevel::info, "line " + std::to_string(i));
    EXPECT_EQ(sink.lines(), (std::vector<std::string>{"line 2", "line 3", "line 4"}));
    EXPECT_EQ(sink.count("line"), 3u);
    sink.clear();
    EXPECT_TRUE(sink.lines().empty());
}

} // namespace
} // namespace velquor::detail
