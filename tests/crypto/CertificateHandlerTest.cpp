#include "crypto/CertificateHandler.hpp"

#include "OpenSSLTestKeys.hpp"

#include <openssl/rand.h>

#include <gtest/gtest.h>

#include <random>

namespace velquor::detail {
namespace {

using test::Bytes;

const Bytes kAlgorithmIdentifier = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                    0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};

// One RSA-2048 public key in both forms, made once for the whole suite.
struct KeyForms {
    Bytes pkcs1;
    Bytes spki;
};
const KeyForms& keyForms() {
    static const KeyForms forms = [] {
        auto key = test::generateRSAKey();
        return KeyForms{test::pkcs1PublicKey(key.get()), test::subjectPublicKeyInfo(key.get())};
    }();
    return forms;
}

TEST(CertificateHandlerTest, WrapsA2048BitKeyExactlyAsOpenSSLWritesSubjectPublicKeyInfo) {
    ASSERT_EQ(keyForms().pkcs1.size(), 270u);
    const Bytes wrapped = CertificateHandler::addPublicKeyHeader(keyForms().pkcs1);
    EXPECT_EQ(wrapped, keyForms().spki);
    EXPECT_EQ(CertificateHandler::stripPublicKeyHeader(wrapped), keyForms().pkcs1);

    // Trailing bytes come back with the key: the lengths are not checked.
    Bytes extended = wrapped;
    extended.push_back(0xAB);
    Bytes expected = keyForms().pkcs1;
    expected.push_back(0xAB);
    EXPECT_EQ(CertificateHandler::stripPublicKeyHeader(extended), expected);
}

TEST(CertificateHandlerTest, LeavesPKCS1AndForeignKeysUnchanged) {
    EXPECT_EQ(CertificateHandler::stripPublicKeyHeader(keyForms().pkcs1), keyForms().pkcs1);

    for (std::size_t i = 0; i < kAlgorithmIdentifier.size(); ++i) {
        Bytes foreign = keyForms().spki;
        foreign[4 + i] ^= 0x01; // the identifier starts after 30 82 01 22
        EXPECT_EQ(CertificateHandler::stripPublicKeyHeader(foreign), foreign) << i;
    }
    Bytes notBitString = keyForms().spki;
    notBitString[19] = 0x04;
    EXPECT_EQ(CertificateHandler::stripPublicKeyHeader(notBitString), notBitString);
    Bytes unusedBits = keyForms().spki;
    unusedBits[23] = 0x01;
    EXPECT_EQ(CertificateHandler::stripPublicKeyHeader(unusedBits), unusedBits);

    // An elliptic-curve key is returned as given.
    detail::EVP_PKEY_ptr ec(EVP_EC_gen("P-256"));
    ASSERT_TRUE(ec);
    const Bytes ecKey = test::subjectPublicKeyInfo(ec.get());
    EXPECT_EQ(CertificateHandler::stripPublicKeyHeader(ecKey), ecKey);
}

TEST(CertificateHandlerTest, NeverReadsPastTheEndOfTruncatedOrRandomInput) {
    // Every prefix of a real SubjectPublicKeyInfo: unchanged until the unused-bits byte is in,
    // then the part of the key that is there. (Sanitizer builds catch any read past the end.)
    for (std::size_t length = 0; length <= keyForms().spki.size(); ++length) {
        const Bytes prefix(keyForms().spki.begin(),
                           keyForms().spki.begin() + static_cast<std::ptrdiff_t>(length));
        const Bytes stripped = CertificateHandler::stripPublicKeyHeader(prefix);
        if (length < 24)
            EXPECT_EQ(stripped, prefix) << length;
        else
            EXPECT_EQ(stripped, Bytes(prefix.begin() + 24, prefix.end())) << length;
    }
    std::mt19937 random(20240601);
    for (int round = 0; round < 20000; ++round) {
        Bytes input(random() % 40);
        for (auto& b : input)
            b = static_cast<std::uint8_t>(random());
        if (!input.empty() && round % 2)
            input[0] = 0x30;
        if (input.size() > 2 && round % 4 == 1)
            input[1] = static_cast<std::uint8_t>(0x80 + random() % 12);
        const Bytes stripped = CertificateHandler::stripPublicKeyHeader(input);
        EXPECT_LE(stripped.size(), input.size());
    }
}

TEST(CertificateHandlerLengthTest, EncodesDERLengths) {
    const std::pair<std::size_t, Bytes> vectors[] = {
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x81, 0x80}},
        {255, {0x81, 0xFF}},
        {256, {0x82, 0x01, 0x00}},
        {65535, {0x82, 0xFF, 0xFF}},
        {65536, {0x83, 0x01, 0x00, 0x00}},
        {0x01000000, {0x84, 0x01, 0x00, 0x00, 0x00}},
    };
    for (const auto& [value, bytes] : vectors)
        EXPECT_EQ(CertificateHandler::encodeLength(value), bytes) << value;
}

TEST(CertificateHandlerLengthTest, ParsesLengthsAndLeavesThePositionOnMalformedOnes) {
    const Bytes data = {0x05, 0x81, 0x80, 0x82, 0x01, 0x00, 0x80, 0x83, 0x01};
    std::size_t p = 0;
    EXPECT_EQ(CertificateHandler::parseLength(data, p), 5u);
    EXPECT_EQ(p, 1u);
    EXPECT_EQ(CertificateHandler::parseLength(data, p), 128u);
    EXPECT_EQ(p, 3u);
    EXPECT_EQ(CertificateHandler::parseLength(data, p), 256u);
    EXPECT_EQ(p, 6u);
    EXPECT_FALSE(CertificateHandler::parseLength(data, p)); // 0x80: no length bytes
    EXPECT_EQ(p, 6u);
    p = 7;
    EXPECT_FALSE(CertificateHandler::parseLength(data, p)); // announces 3 bytes, 1 left
    EXPECT_EQ(p, 7u);
    p = data.size();
    EXPECT_FALSE(CertificateHandler::parseLength(data, p));
    EXPECT_EQ(p, data.size());
    // More length bytes than 64 bits hold: only the position matters.
    const Bytes huge = {0x89, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    p = 0;
    EXPECT_TRUE(CertificateHandler::parseLength(huge, p));
    EXPECT_EQ(p, 10u);
}

TEST(CertificateHandlerLengthTest, WrapsAnEmptyKey) {
    Bytes expected = {0x30, 0x12};
    expected.insert(expected.end(), kAlgorithmIdentifier.begin(), kAlgorithmIdentifier.end());
    expected.insert(expected.end(), {0x03, 0x01, 0x00});
    EXPECT_EQ(CertificateHandler::addPublicKeyHeader(Bytes{}), expected);
    EXPECT_EQ(CertificateHandler::stripPublicKeyHeader(expected), Bytes{});
}

} // namespace
} // namespace velquor::detail
