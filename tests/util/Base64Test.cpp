#include "util/Base64.hpp"
#include "util/Base64URL.hpp"

#include "OpenSSLTestKeys.hpp"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

using test::Bytes;
using test::bytesOf;

TEST(Base64Test, MatchesOpenSSLOnRandomBytesOfEveryLengthAndNeverBreaksLines) {
    for (int length = 0; length <= 200; ++length) {
        Bytes bytes(static_cast<std::size_t>(length));
        RAND_bytes(bytes.data(), length);
        std::string reference(static_cast<std::size_t>(4 * ((length + 2) / 3)) + 1, '\0');
        const int written =
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(reference.data()), bytes.data(), length);
        reference.resize(static_cast<std::size_t>(written));

        const std::string encoded = base64Encode(bytes);
        EXPECT_EQ(encoded, reference) << length;
        EXPECT_EQ(encoded.find('\n'), std::string::npos);
        EXPECT_EQ(base64Decode(encoded), bytes) << length;
    }
}

TEST(Base64Test, RefusesEverythingThatIsNotCanonicalBase64) {
    // Length, missing, excess or misplaced padding, bits under the padding, white space, the URL
    // alphabet, NUL and non-ASCII bytes.
    const std::string rejected[] = {"Zg=",        "Zg",       "Z===", "====", "Zm=v",
                                    "Zg==Zm9v",   "Zm9v====", "Zh==", "Zm9=", "Zm9v\n",
                                    "Zm9v YmFy",  " Zm9",     "Zm-v", "Zm_v", std::string("Zm\0v", 4),
                                    "Zm\xC3\xA9v"};
    for (const auto& text : rejected)
        EXPECT_FALSE(base64Decode(text)) << '"' << text << '"';
}

TEST(Base64URLTest, EncodesWithTheURLAlphabetAndNoPadding) {
    for (const auto& [bytes, text] : {std::pair<Bytes, std::string>{{}, ""},
                                      {{0x61}, "YQ"},
                                      {{0xFB, 0xFF}, "-_8"},
                                      {{0xFB, 0xEF, 0xBE}, "----"},
                                      {{0xFF, 0xFF, 0xFF}, "____"}})
        EXPECT_EQ(base64URLEncodedString(bytes), text);

    Bytes long_(3000);
    RAND_bytes(long_.data(), static_cast<int>(long_.size()));
    const std::string encoded = base64URLEncodedString(long_);
    EXPECT_EQ(encoded.size(), 4000u);
    EXPECT_EQ(encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    EXPECT_EQ(base64URLDecoded(encoded), long_);
}

// Either alphabet, with or without padding; nothing else.
TEST(Base64URLTest, DecodesURLAndStandardAlphabetsWithOrWithoutPaddingOnly) {
    const std::pair<std::string, Bytes> accepted[] = {{"", {}},
                                                      {"YQ", {0x61}},
                                                      {"YQ==", {0x61}},
                                                      {"YQ=", {0x61}},
                                                      {"-_8", {0xFB, 0xFF}},
                                                      {"+/8=", {0xFB, 0xFF}},
                                                      {"+/8", {0xFB, 0xFF}}};
    for (const auto& [text, bytes] : accepted)
        EXPECT_EQ(base64URLDecoded(text), bytes) << text;
    for (const std::string text :
         {"Y", "YQ.", "YQ YQ", "YQ\n", "YQ\r\n", "Y Q", "YQ=A", "YQ*", "YQ===", "abcde"})
        EXPECT_FALSE(base64URLDecoded(text)) << '"' << text << '"';
}

} // namespace
} // namespace velquor::detail
