#include "zip/MemoryFile.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct WriteCase {
    Bytes initial;
    std::string mode;
    std::int64_t position;
    Bytes written, expected;
};
class MemoryFileTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(MemoryFileTest, WritesZeroFillGapsDropTheOverrunTailAndNeverSeekBeforeTheStart) {
    const auto& c = GetParam();
    MemoryFile file(c.initial);
    ASSERT_TRUE(file.open(c.mode));
    ASSERT_TRUE(file.seek(c.position, MemoryFile::Origin::current));
    const bool readOnly = c.mode == "rb";
    EXPECT_EQ(file.write(c.written), readOnly ? 0 : c.written.size());
    EXPECT_EQ(file.error(), readOnly);
    EXPECT_EQ(file.data(), c.expected);
    const auto position = file.tell();
    EXPECT_FALSE(file.seek(-position - 1, MemoryFile::Origin::current));
    EXPECT_FALSE(file.seek(-static_cast<std::int64_t>(c.expected.size()) - 1, MemoryFile::Origin::end));
    EXPECT_EQ(file.tell(), position);
}

INSTANTIATE_TEST_SUITE_P(
    Writes, MemoryFileTest,
    ::testing::Values(WriteCase{{1, 2, 3, 4}, "wb+", 10, {9, 9}, {1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 9, 9}},
                      WriteCase{{1, 2, 3, 4, 5, 6}, "wb+", 2, Bytes(8, 9), {1, 2, 9, 9, 9, 9, 9, 9, 9, 9}},
                      WriteCase{{1, 2, 3, 4, 5, 6}, "rb+", 1, {9, 9}, {1, 9, 9, 4, 5, 6}},
                      WriteCase{{1, 2}, "ab", 0, {9}, {1, 2, 9}}, WriteCase{{1, 2}, "rb", 1, {9}, {1, 2}}));

} // namespace
} // namespace velquor::detail
