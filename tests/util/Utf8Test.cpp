#include "util/Utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace velquor::detail {
namespace {

struct Utf8Case {
    std::string input;
    bool valid;
    std::string cleaned;
};

class Utf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Test, ValidatesAndRepairs) {
    const auto& c = GetParam();
    EXPECT_EQ(isValidUtf8(c.input), c.valid);
    EXPECT_EQ(sanitizeUtf8(c.input), c.cleaned);
    EXPECT_TRUE(isValidUtf8(sanitizeUtf8(c.input)));
}

const std::string kReplacement = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8Test,
    ::testing::Values(Utf8Case{"", true, ""}, Utf8Case{"plain ascii", true, "plain ascii"},
                      Utf8Case{"gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x94\x91", true,
                               "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x94\x91"},
                      // A stray byte in a host name.
                      Utf8Case{"host\xFFname", false, "host" + kReplacement + "name"},
                      // Overlong encoding of '/', a classic path-escape trick.
                      Utf8Case{"\xC0\xAF", false, kReplacement + kReplacement},
                      Utf8Case{"\xE0\x80\xAF", false, kReplacement + kReplacement + kReplacement},
                      // UTF-16 surrogate encoded as UTF-8.
                      Utf8Case{"\xED\xA0\x80", false, kReplacement + kReplacement + kReplacement},
                      // Above U+10FFFF.
                      Utf8Case{"\xF4\x90\x80\x80", false,
                               kReplacement + kReplacement + kReplacement + kReplacement},
                      // Truncated at the end of the text: nothing is read past it.
                      Utf8Case{"ab\xE2\x82", false, "ab" + kReplacement + kReplacement},
                      Utf8Case{std::string("nul\0inside", 10), true, std::string("nul\0inside", 10)}));

} // namespace
} // namespace velquor::detail
