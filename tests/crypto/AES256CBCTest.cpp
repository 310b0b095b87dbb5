#include "crypto/AES256CBC.hpp"

#include "util/Base64.hpp"
#include "util/OpenSSLPtr.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <regex>
#include <set>

namespace velquor::detail {
namespace {

const std::string kKey = "0123456789abcdefghijABCDEFGHIJ_+"; // 32 characters

using Kind = AES256CBC::Error::Kind;

// Ciphertext of arbitrary bytes under key and IV, by OpenSSL.
std::string referenceBase64(const std::string& key, const std::string& iv, const std::string& plaintext) {
    EVP_CIPHER_CTX_ptr ctx(EVP_CIPHER_CTX_new());
    std::vector<std::uint8_t> output(plaintext.size() + 32);
    int length = 0;
    int tail = 0;
    EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr,
                       reinterpret_cast<const unsigned char*>(key.data()),
                       reinterpret_cast<const unsigned char*>(iv.data()));
    EVP_EncryptUpdate(ctx.get(), output.data(), &length,
                      reinterpret_cast<const unsigned char*>(plaintext.data()),
                      static_cast<int>(plaintext.size()));
    EVP_EncryptFinal_ex(ctx.get(), output.data() + length, &tail);
    output.resize(static_cast<std::size_t>(length + tail));
    return base64Encode(output);
}

TEST(AES256CBCTest, FramesIVAndBase64WithTheExpectedLengths) {
    const std::regex framed("^[a-zA-Z0-9]{16}[A-Za-z0-9+/]+={0,2}$");
    const std::pair<std::size_t, std::size_t> lengths[] = {{1, 40},  {15, 40}, {16, 60},
                                                           {17, 60}, {47, 80}, {48, 104}};
    for (const auto& [plainLength, framedLength] : lengths) {
        const auto line = AES256CBC::encryptString(std::string(plainLength, 'x'), kKey);
        ASSERT_TRUE(line);
        EXPECT_EQ(line->size(), framedLength) << plainLength;
        EXPECT_TRUE(std::regex_match(*line, framed)) << *line;
    }
    // A fresh IV every time.
    EXPECT_NE(AES256CBC::encryptString("same", kKey), AES256CBC::encryptString("same", kKey));
}

TEST(AES256CBCTest, EncryptsExactlyLikeOpenSSLAndRoundTripsNonASCIIText) {
    const std::string texts[] = {"a", "hello log line", "Grüße aus Köln — 東京 🚀", std::string(1000, 'z'),
                                 "line with\nnewline and \"quotes\""};
    for (const std::string& text : texts) {
        const auto line = AES256CBC::encryptString(text, kKey);
        ASSERT_TRUE(line);
        const std::string iv = line->substr(0, 16);
        const std::string body = line->substr(16);
        EXPECT_EQ(body, referenceBase64(kKey, iv, text));
        auto decrypted = AES256CBC::aesDecrypt(body, kKey, iv);
        ASSERT_TRUE(decrypted) << decrypted.error().description();
        EXPECT_EQ(decrypted.value(), text);
    }
}

TEST(AES256CBCTest, EncryptStringGivesNothingForEmptyTextOrAKeyOf31Or33Characters) {
    EXPECT_FALSE(AES256CBC::encryptString("", kKey));
    EXPECT_FALSE(AES256CBC::encryptString("text", kKey.substr(0, 31)));
    EXPECT_FALSE(AES256CBC::encryptString("text", kKey + "x"));
    // 32 characters but 33 bytes: the cipher refuses the key.
    EXPECT_FALSE(AES256CBC::encryptString("text", kKey.substr(0, 31) + "é"));
    // Plaintext that could never be decrypted back to text.
    EXPECT_FALSE(AES256CBC::encryptString("bad \xC3", kKey));
}

TEST(AES256CBCTest, DecryptFailsWithAnErrorForUndecodableBase64) {
    // Undecodable Base64 used to come back as the text "error", as if it were the plaintext.
    for (const std::string text : {"ab cd", "not base64!", "QUJD\n", "QUJ", "QUJDRA=="}) {
        auto decrypted = AES256CBC::aesDecrypt(text, kKey, "0123456789abcdef");
        ASSERT_FALSE(decrypted) << text;
        if (text == "QUJDRA==") // decodes, to 4 bytes
            EXPECT_EQ(decrypted.error(), (AES256CBC::Error{Kind::cipher, AESCipherError::blockSizeExceeded}));
        else
            EXPECT_EQ(decrypted.error(), (AES256CBC::Error{Kind::invalidBase64, std::nullopt})) << text;
    }
    EXPECT_EQ((AES256CBC::Error{Kind::invalidBase64, std::nullopt}).domain(), "Invalid base64 data");
}

TEST(AES256CBCTest, DecryptReportsBlockSizeKeyIVAndUtf8FailuresWithTheirErrors) {
    const std::string iv = "0123456789abcdef";
    auto seventeen = AES256CBC::aesDecrypt(base64Encode(std::string(17, 'a')), kKey, iv);
    ASSERT_FALSE(seventeen);
    EXPECT_EQ(seventeen.error(), (AES256CBC::Error{Kind::cipher, AESCipherError::blockSizeExceeded}));
    EXPECT_EQ(seventeen.error().domain(), "AESCipher.Error");
    EXPECT_EQ(seventeen.error().code(), 0);

    auto empty = AES256CBC::aesDecrypt("", kKey, iv);
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error(), (AES256CBC::Error{Kind::cipher, AESCipherError::dataPaddingRequired}));

    auto shortKey = AES256CBC::aesDecrypt(referenceBase64(kKey, iv, "x"), "short", iv);
    ASSERT_FALSE(shortKey);
    EXPECT_EQ(shortKey.error(),
              (AES256CBC::Error{Kind::cipher, AESCipherError::invalidKeyOrInitializationVector}));
    auto shortIV = AES256CBC::aesEncrypt("x", kKey, "0123");
    ASSERT_FALSE(shortIV);
    EXPECT_EQ(shortIV.error(), (AES256CBC::Error{Kind::cipher, AESCipherError::invalidInitializationVector}));
    EXPECT_EQ(shortIV.error().code(), 3);

    auto notText = AES256CBC::aesDecrypt(referenceBase64(kKey, iv, "ok \xFF\xFE"), kKey, iv);
    ASSERT_FALSE(notText);
    EXPECT_EQ(notText.error(), (AES256CBC::Error{Kind::invalidUtf8Data, std::nullopt}));
    EXPECT_EQ(notText.error().domain(), "Invalid utf8 data");
    EXPECT_EQ(notText.error().code(), 0);
}

TEST(AES256CBCTest, RandomTextUsesOnlyItsAlphabetAndNeverTwoSpacesInARow) {
    const auto key = AES256CBC::randomText(32, false, false);
    ASSERT_TRUE(key);
    EXPECT_TRUE(std::regex_match(*key, std::regex("^[a-zA-Z0-9]{32}$"))) << *key;
    EXPECT_EQ(AES256CBC::randomText(0, false, false), "");

    const auto lower = AES256CBC::randomText(500, true, false);
    ASSERT_TRUE(lower);
    EXPECT_TRUE(std::regex_match(*lower, std::regex("^[a-z]{500}$")));

    const auto spaced = AES256CBC::randomText(5000, false, true);
    ASSERT_TRUE(spaced);
    EXPECT_EQ(spaced->size(), 5000u);
    EXPECT_TRUE(std::regex_match(*spaced, std::regex("^[a-zA-Z0-9 ]*$")));
    EXPECT_EQ(spaced->find("  "), std::string::npos);
    EXPECT_NE(spaced->find(' '), std::string::npos);
}

TEST(AES256CBCTest, RandomTextIsUniformWithoutModuloBias) {
    // 256 is not a multiple of 26: reducing a byte modulo 26 would make a..v about 11% likelier
    // than w..z, far beyond the tolerance below (five standard deviations).
    const std::size_t draws = 260000;
    const auto text = AES256CBC::randomText(draws, true, false);
    ASSERT_TRUE(text);
    std::array<std::size_t, 26> counts{};
    for (char c : *text)
        ++counts[static_cast<std::size_t>(c - 'a')];
    const double expected = draws / 26.0;
    const double sigma = std::sqrt(draws * (1.0 / 26) * (25.0 / 26));
    for (std::size_t i = 0; i < 26; ++i)
        EXPECT_NEAR(static_cast<double>(counts[i]), expected, 5 * sigma) << static_cast<char>('a' + i);

    // Mixed text: the class is chosen first, so each digit is likelier than each letter.
    const auto mixed = AES256CBC::randomText(90000, false, false);
    ASSERT_TRUE(mixed);
    std::size_t digits = 0;
    std::size_t capitals = 0;
    for (char c : *mixed) {
        digits += (c >= '0' && c <= '9');
        capitals += (c >= 'A' && c <= 'Z');
    }
    const double classSigma = std::sqrt(90000 * (1.0 / 3) * (2.0 / 3));
    EXPECT_NEAR(static_cast<double>(digits), 30000, 5 * classSigma);
    EXPECT_NEAR(static_cast<double>(capitals), 30000, 5 * classSigma);
}

} // namespace
} // namespace velquor::detail
