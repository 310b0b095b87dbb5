// AES-256-CBC for the log, and the public-key header of exported keys.
#include "crypto/AES256CBC.hpp"
#include "crypto/AESCipher.hpp"
#include "crypto/CertificateHandler.hpp"

#include "util/Base64.hpp"

#include "OpenSSLTestKeys.hpp"

#include <openssl/rand.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <regex>
#include <tuple>

namespace velquor::detail {
namespace {

const std::string kKey = "0123456789abcdefghijABCDEFGHIJ_+"; // 32 characters

using Kind = AES256CBC::Error::Kind;
using test::Bytes;
using test::bytesOf;

Bytes randomBytes(std::size_t length) {
    Bytes bytes(length);
    if (length)
        RAND_bytes(bytes.data(), static_cast<int>(length));
    return bytes;
}

// OpenSSL's AES-CBC with PKCS#7 padding: the reference.
Bytes reference(const Bytes& key, const Bytes& iv, const Bytes& input) {
    const EVP_CIPHER* cbc = key.size() == 16   ? EVP_aes_128_cbc()
                            : key.size() == 24 ? EVP_aes_192_cbc()
                                               : EVP_aes_256_cbc();
    EVP_CIPHER_CTX_ptr ctx(EVP_CIPHER_CTX_new());
    Bytes output(input.size() + 32);
    int length = 0, tail = 0;
    EXPECT_TRUE(EVP_EncryptInit_ex(ctx.get(), cbc, nullptr, key.data(), iv.data()) == 1 &&
                EVP_EncryptUpdate(ctx.get(), output.data(), &length, input.data(),
                                  static_cast<int>(input.size())) == 1 &&
                EVP_EncryptFinal_ex(ctx.get(), output.data() + length, &tail) == 1);
    output.resize(static_cast<std::size_t>(length + tail));
    return output;
}

// The Base64 of OpenSSL's ciphertext of `plaintext`, as AES256CBC writes it.
std::string referenceBase64(const std::string& key, const std::string& iv, const std::string& plaintext) {
    return base64Encode(reference(bytesOf(key), bytesOf(iv), bytesOf(plaintext)));
}

AESCipher makeCipher(const Bytes& key, const Bytes& iv) {
    auto cipher = AESCipher::make(key, iv);
    EXPECT_TRUE(cipher);
    return cipher.value();
}

// The line is a fresh 16-character IV, then the Base64 of OpenSSL's ciphertext under it.
TEST(AES256CBCTest, EncryptsExactlyLikeOpenSSLAndRoundTripsNonASCIIText) {
    const std::string texts[] = {"a", "sixteen bytes!!!", "Grüße aus Köln — 東京 🚀", std::string(1000, 'z'),
                                 "line with\nnewline and \"quotes\""};
    for (const std::string& text : texts) {
        const std::string line = AES256CBC::encryptString(text, kKey).value_or("");
        const std::string iv = line.substr(0, 16), body = line.substr(16);
        EXPECT_TRUE(std::regex_match(iv, std::regex("[a-zA-Z0-9]{16}"))) << iv;
        EXPECT_EQ(body, referenceBase64(kKey, iv, text));
        EXPECT_EQ(AES256CBC::aesDecrypt(body, kKey, iv).value(), text);
    }
    EXPECT_NE(AES256CBC::encryptString("same", kKey), AES256CBC::encryptString("same", kKey));
}

// Undecodable Base64 used to come back as the text "error", as if it were the plaintext.
TEST(AES256CBCTest, EncryptAndDecryptFailuresCarryTheirKind) {
    // The last two: 32 characters but 33 bytes; plaintext that could never decrypt back to text.
    for (const auto& [text, key] : {std::pair<std::string, std::string>{"", kKey},
                                    {"text", kKey.substr(0, 31)},
                                    {"text", kKey + "x"},
                                    {"text", kKey.substr(0, 31) + "é"},
                                    {"bad \xC3", kKey}})
        EXPECT_FALSE(AES256CBC::encryptString(text, key)) << text << " " << key;

    const std::string iv = "0123456789abcdef";
    using E = AES256CBC::Error;
    const E badBase64{Kind::invalidBase64, std::nullopt},
        blockSize{Kind::cipher, AESCipherError::blockSizeExceeded};
    const std::tuple<std::string, std::string, E> cases[] = {
        {"not base64!", kKey, badBase64},
        {"QUJ", kKey, badBase64},
        {"QUJDRA==", kKey, blockSize}, // decodes, to 4 bytes
        {"", kKey, {Kind::cipher, AESCipherError::dataPaddingRequired}},
        {referenceBase64(kKey, iv, "x"),
         "short",
         {Kind::cipher, AESCipherError::invalidKeyOrInitializationVector}},
        {referenceBase64(kKey, iv, "ok \xFF\xFE"), kKey, {Kind::invalidUtf8Data, std::nullopt}},
    };
    for (const auto& [text, key, expected] : cases)
        EXPECT_EQ(AES256CBC::aesDecrypt(text, key, iv).error(), expected) << text;
    EXPECT_EQ(AES256CBC::aesEncrypt("x", kKey, "0123").error(),
              (E{Kind::cipher, AESCipherError::invalidInitializationVector}));
}

// The library draws mixed text only (IVs, whose alphabet the first test checks, and the log key);
// the with-spaces form has no caller. 256 is not a multiple of 26: reducing a byte modulo 26 would
// make a..v about 11% likelier than w..z, far beyond the tolerance below (five standard deviations).
TEST(AES256CBCTest, RandomTextUsesOnlyItsAlphabetUniformly) {
    EXPECT_EQ(AES256CBC::randomText(0, false, false), "");
    const std::size_t draws = 260000;
    std::array<std::size_t, 26> counts{};
    const std::string text = AES256CBC::randomText(draws, true, false).value_or("");
    ASSERT_EQ(text.size(), draws);
    for (char c : text) {
        ASSERT_TRUE(c >= 'a' && c <= 'z') << c;
        ++counts[static_cast<std::size_t>(c - 'a')];
    }
    const double expected = draws / 26.0;
    const double sigma = std::sqrt(draws * (1.0 / 26) * (25.0 / 26));
    for (std::size_t i = 0; i < 26; ++i)
        EXPECT_NEAR(static_cast<double>(counts[i]), expected, 5 * sigma) << static_cast<char>('a' + i);
}

// Every length up to 300 with AES-256, a spread of lengths with AES-128 and AES-192: OpenSSL's
// ciphertext is ours, and ours decrypts back.
TEST(AESCipherTest, MatchesOpenSSLOnRandomInputsBothWays) {
    for (std::size_t keyLength : {16u, 24u, 32u}) {
        for (std::size_t length = 0; length <= 300; length += keyLength == 32 ? 1 : 17) {
            const Bytes key = randomBytes(keyLength), iv = randomBytes(16), plaintext = randomBytes(length);
            const Bytes theirs = reference(key, iv, plaintext);
            EXPECT_EQ(makeCipher(key, iv).encrypt(plaintext).value(), theirs) << keyLength << "/" << length;
            EXPECT_EQ(makeCipher(key, iv).decrypt(theirs).value(), plaintext) << keyLength << "/" << length;
        }
    }
}

TEST(AESCipherTest, RefusesWrongKeyIVAndCiphertextLengths) {
    using Failure = AESCipher::Failure;
    for (std::size_t keyLength : {0u, 1u, 15u, 17u, 23u, 31u, 33u, 64u})
        EXPECT_EQ(AESCipher::make(Bytes(keyLength), Bytes(16)).error(),
                  AESCipherError::invalidKeyOrInitializationVector)
            << keyLength;
    for (std::size_t ivLength : {0u, 8u, 15u, 17u, 32u})
        EXPECT_EQ(AESCipher::make(Bytes(32), Bytes(ivLength)).error(),
                  AESCipherError::invalidInitializationVector)
            << ivLength;
    auto noIV = AESCipher::make(Bytes(32), std::nullopt);
    ASSERT_TRUE(noIV);
    EXPECT_EQ(noIV->encrypt(Bytes(5)).error(), Failure(CBCBlockModeError::MissingInitializationVector));
    EXPECT_EQ(noIV->decrypt(Bytes(16)).error(), Failure(CBCBlockModeError::MissingInitializationVector));

    for (std::size_t length : {0u, 1u, 15u, 17u, 31u})
        EXPECT_EQ(makeCipher(Bytes(32), Bytes(16)).decrypt(Bytes(length)).error(),
                  Failure(length ? AESCipherError::blockSizeExceeded : AESCipherError::dataPaddingRequired))
            << length;
}

TEST(AESCipherTest, PaddingIsDroppedByItsLastByteAloneAndOtherwiseKept) {
    const Bytes key = randomBytes(32), iv = randomBytes(16);
    // Raw blocks (no padding) through the block mode, so the decrypted last byte is the test's.
    auto decrypted = [&](Bytes blocks) {
        AESCipher cipher = makeCipher(key, iv);
        CBCBlockMode::Block ivBlock{};
        std::copy(iv.begin(), iv.end(), ivBlock.begin());
        EXPECT_TRUE(CBCBlockMode().encrypt(blocks, ivBlock, [&](const std::uint8_t* in, std::uint8_t* out) {
            cipher.encryptBlock(in, out);
        }));
        return makeCipher(key, iv).decrypt(blocks).value();
    };
    Bytes lastZero(32, 0x41), lastTooLarge(16, 0x41), sloppy(32, 0x41);
    lastZero.back() = 0;
    lastTooLarge.back() = 17;
    sloppy.back() = 3; // the two bytes before it are not 3: dropped anyway
    EXPECT_EQ(decrypted(lastZero), lastZero);
    EXPECT_EQ(decrypted(lastTooLarge), lastTooLarge);
    EXPECT_EQ(decrypted(sloppy), Bytes(29, 0x41));
}

const Bytes kAlgorithmIdentifier = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                    0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};

// PKCS#1 and keys of other algorithms come back unchanged; trailing bytes come back with the
// key, as the lengths are not checked.
TEST(CertificateHandlerTest, WrapsExactlyAsOpenSSLStripsOnlyRSASubjectPublicKeyInfoAndNeverOverreads) {
    const auto key = test::generateRSAKey();
    const Bytes pkcs1 = test::pkcs1PublicKey(key.get()), spki = test::subjectPublicKeyInfo(key.get());
    ASSERT_EQ(pkcs1.size(), 270u);
    const Bytes wrapped = CertificateHandler::addPublicKeyHeader(pkcs1);
    EXPECT_EQ(wrapped, spki);
    Bytes extended = wrapped, expected = pkcs1;
    extended.push_back(0xAB);
    expected.push_back(0xAB);
    EXPECT_EQ(CertificateHandler::stripPublicKeyHeader(extended), expected);
    EXPECT_EQ(CertificateHandler::stripPublicKeyHeader(pkcs1), pkcs1);

    // Any changed bit of the algorithm identifier (after 30 82 01 22), not a bit string, unused
    // bits in it.
    std::vector<std::pair<std::size_t, std::uint8_t>> changes = {{19, 0x04}, {23, 0x01}};
    for (std::size_t i = 0; i < kAlgorithmIdentifier.size(); ++i)
        changes.emplace_back(4 + i, spki[4 + i] ^ 0x01);
    for (const auto& [at, value] : changes) {
        Bytes foreign = spki;
        foreign[at] = value;
        EXPECT_EQ(CertificateHandler::stripPublicKeyHeader(foreign), foreign) << at;
    }
    detail::EVP_PKEY_ptr ec(EVP_EC_gen("P-256"));
    ASSERT_TRUE(ec);
    const Bytes ecKey = test::subjectPublicKeyInfo(ec.get());
    EXPECT_EQ(CertificateHandler::stripPublicKeyHeader(ecKey), ecKey);

    // Every prefix of a real SubjectPublicKeyInfo: unchanged until the unused-bits byte is in,
    // then the part of the key that is there. (Sanitizer builds catch any read past the end.)
    for (std::size_t length = 0; length <= spki.size(); ++length) {
        const Bytes prefix(spki.begin(), spki.begin() + static_cast<std::ptrdiff_t>(length));
        const auto kept = prefix.begin() + (length < 24 ? 0 : 24);
        EXPECT_EQ(CertificateHandler::stripPublicKeyHeader(prefix), Bytes(kept, prefix.end())) << length;
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
