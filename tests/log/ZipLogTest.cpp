#include "log/ZipLog.hpp"

#include "zip/LittleEndian.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace velquor::detail {
namespace {

// A log-like text of about `size` bytes, with a non-ASCII character on every line.
std::string logText(std::size_t size) {
    std::string text;
    for (int line = 0; text.size() < size; ++line)
        text += "2026-12-07 03:0" + std::to_string(line % 10) + " INFO Core/LogicLayer pair line " +
                std::to_string(line * 7919 % 10007) + " caf\xC3\xA9\n";
    text.resize(size);
    return text;
}

class ZipLogTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ZipLogTest, ArchiveHoldsTheTextForUnzip) {
    const std::string text = logText(GetParam());
    const auto zip = ZipLog::zip(text);
    ASSERT_TRUE(zip);
    // The layout is the archive's (checked there): one deflated entry and nothing else.
    ASSERT_GE(zip->size(), 124u);
    EXPECT_EQ(le::get16(*zip, 8), 8);
    EXPECT_EQ(zip->size(), 124 + le::get32(*zip, 18));

    test::TempDir dir;
    const auto path = (dir.path() / "logs.zip").string();
    test::writeFile(path, std::string(zip->begin(), zip->end()));
    EXPECT_EQ(std::system(("unzip -tqq " + path).c_str()), 0);
    ASSERT_EQ(std::system(("unzip -p " + path + " velquorv2.log > " + path + ".out").c_str()), 0);
    EXPECT_EQ(test::readFile(path + ".out"), text);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ZipLogTest, ::testing::Values(0, 1'000, 16'384, 3'000'000));

TEST(ZipLogTest, TextThatIsNotUtf8GivesNothing) {
    EXPECT_FALSE(ZipLog::zip("line \xC3\x28 torn\n"));
}

} // namespace
} // namespace velquor::detail
