#include "crypto/CertificateHandler.hpp"

#include "OpenSSLTestKeys.hpp"

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
    Bytes extended = wrapped, expected = keyForms().pkcs1;
    extended.push_back(0xAB);
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
    // Not a bit string; unused bits in it.
    for (const auto& [at, value] : {std::pair<std::size_t, std::uint8_t>{19, 0x04}, {23, 0x01}}) {
        Bytes changed = keyForms().spki;
        changed[at] = value;
        EXPECT_EQ(CertificateHandler::stripPublicKeyHeader(changed), changed) << at;
    }

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

TEST(CertificateHandlerLengthTest, EncodesAndParsesDERLengths) {
    // Both sides of each form's boundary; longer forms are the same loop as the three-byte one.
    const std::pair<std::size_t, Bytes> vectors[] = {{0, {0x00}},
                                                     {127, {0x7F}},
                                                     {128, {0x81, 0x80}},
                                                     {255, {0x81, 0xFF}},
                                                     {256, {0x82, 0x01, 0x00}},
                                                     {65535, {0x82, 0xFF, 0xFF}},
                                                     {65536, {0x83, 0x01, 0x00, 0x00}}};
    for (const auto& [value, bytes] : vectors) {
        EXPECT_EQ(CertificateHandler::encodeLength(value), bytes) << value;
        std::size_t p = 0;
        EXPECT_EQ(CertificateHandler::parseLength(bytes, p), value);
        EXPECT_EQ(p, bytes.size());
    }
    // Malformed: no length bytes, fewer than announced, nothing left. The position stays.
    for (const Bytes& malformed : {Bytes{0x80}, Bytes{0x83, 0x01}, Bytes{}}) {
        std::size_t p = 0;
        EXPECT_FALSE(CertificateHandler::parseLength(malformed, p));
        EXPECT_EQ(p, 0u);
    }

    // An empty key wraps and unwraps.
    Bytes empty = {0x30, 0x12};
    empty.insert(empty.end(), kAlgorithmIdentifier.begin(), kAlgorithmIdentifier.end());
    empty.insert(empty.end(), {0x03, 0x01, 0x00});
    EXPECT_EQ(CertificateHandler::addPublicKeyHeader(Bytes{}), empty);
    EXPECT_EQ(CertificateHandler::stripPublicKeyHeader(empty), Bytes{});
}

} // namespace
} // namespace velquor::detail
