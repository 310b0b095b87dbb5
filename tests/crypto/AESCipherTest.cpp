#include "crypto/AESCipher.hpp"

#include "util/OpenSSLPtr.hpp"

#include <openssl/rand.h>

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

using Bytes = std::vector<std::uint8_t>;

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

AESCipher makeCipher(const Bytes& key, const Bytes& iv) {
    auto cipher = AESCipher::make(key, iv);
    EXPECT_TRUE(cipher);
    return cipher.value();
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

    for (std::size_t length : {1u, 15u, 17u, 31u})
        EXPECT_EQ(makeCipher(Bytes(32), Bytes(16)).decrypt(Bytes(length)).error(),
                  Failure(AESCipherError::blockSizeExceeded));
    EXPECT_EQ(makeCipher(Bytes(32), Bytes(16)).decrypt(Bytes{}).error(),
              Failure(AESCipherError::dataPaddingRequired));
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

} // namespace
} // namespace velquor::detail
