#include "jwt/Digest.hpp"

#include "OpenSSLTestKeys.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

TEST(DigestTest, MatchesOpenSSLForEverySupportedSizeAndNothingElse) {
    const auto abc = test::bytesOf("abc");
    const std::pair<int, DigestAlgorithm> sizes[] = {{1, DigestAlgorithm::sha1},
                                                     {256, DigestAlgorithm::sha256},
                                                     {384, DigestAlgorithm::sha384},
                                                     {512, DigestAlgorithm::sha512}};
    for (const auto& [bits, algorithm] : sizes)
        EXPECT_EQ(digest(bits, abc), test::digestOf(algorithm, "abc")) << bits;
    EXPECT_EQ(digest(256, test::Bytes{}), test::digestOf(DigestAlgorithm::sha256, ""));
    EXPECT_TRUE(digest(7, abc).empty());
    EXPECT_TRUE(digest(0, abc).empty());
}

} // namespace
} // namespace velquor::detail
