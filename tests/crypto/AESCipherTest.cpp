#include "crypto/AESCipher.hpp"

#include "util/OpenSSLPtr.hpp"

#include <openssl/rand.h>

#include <gtest/gtest.h>

#include <random>

namespace velquor::detail {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fromHex(const std::string& hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

Bytes randomBytes(std::size_t length) {
    Bytes bytes(length);
    if (length)
        RAND_bytes(bytes.data(), static_cast<int>(length));
    return bytes;
}

const EVP_CIPHER* cbcFor(std::size_t keyLength) {
    return keyLength == 16 ? EVP_aes_128_cbc() : keyLength == 24 ? EVP_aes_192_cbc() : EVP_aes_256_cbc();
}

// OpenSSL's AES-CBC with PKCS#7 padding: the reference.
Bytes reference(bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& input) {
    EVP_CIPHER_CTX_ptr ctx(EVP_CIPHER_CTX_new());
    Bytes output(input.size() + 32);
    int length = 0;
    int tail = 0;
    const bool ok =
        EVP_CipherInit_ex(ctx.get(), cbcFor(key.size()), nullptr, key.data(), iv.data(), encrypt) == 1 &&
        EVP_CipherUpdate(ctx.get(), output.data(), &length, input.data(), static_cast<int>(input.size())) ==
            1 &&
        EVP_CipherFinal_ex(ctx.get(), output.data() + length, &tail) == 1;
    EXPECT_TRUE(ok) << drainOpenSSLErrors();
    output.resize(static_cast<std::size_t>(length + tail));
    return output;
}

AESCipher makeCipher(const Bytes& key, const Bytes& iv) {
    auto cipher = AESCipher::make(key, iv);
    EXPECT_TRUE(cipher);
    return cipher.value();
}

TEST(AESCipherTest, BlockFunctionMatchesTheFIPS197Examples) {
    const Bytes plaintext = fromHex("00112233445566778899aabbccddeeff");
    const std::pair<std::string, std::string> vectors[] = {
        {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const auto& [key, expected] : vectors) {
        AESCipher cipher = makeCipher(fromHex(key), Bytes(16));
        EXPECT_EQ(cipher.rounds(), static_cast<int>(key.size() / 8) + 6);
        Bytes block(16);
        cipher.encryptBlock(plaintext.data(), block.data());
        EXPECT_EQ(block, fromHex(expected)) << key;
        cipher.decryptBlock(block.data(), block.data());
        EXPECT_EQ(block, plaintext) << key;
    }
}

TEST(AESCipherTest, ChainsLikeTheSP800_38A_CBC_AES256Example) {
    const Bytes key = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const Bytes iv = fromHex("000102030405060708090a0b0c0d0e0f");
    const Bytes plaintext = fromHex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                                    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    const Bytes ciphertext = fromHex("f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
                                     "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");

    AESCipher cipher = makeCipher(key, iv);
    auto sealed = cipher.encrypt(plaintext);
    ASSERT_TRUE(sealed);
    ASSERT_EQ(sealed->size(), 80u); // the aligned plaintext gains a whole padding block
    EXPECT_EQ(Bytes(sealed->begin(), sealed->begin() + 64), ciphertext);

    // Decryption direction, chaining without padding.
    AESCipher decryptor = makeCipher(key, iv);
    Bytes data = ciphertext;
    CBCBlockMode::Block ivBlock{};
    std::copy(iv.begin(), iv.end(), ivBlock.begin());
    ASSERT_TRUE(CBCBlockMode().decrypt(
        data, ivBlock, [&](const std::uint8_t* in, std::uint8_t* out) { decryptor.decryptBlock(in, out); }));
    EXPECT_EQ(data, plaintext);
}

// Every length up to 300 with AES-256, a spread of lengths with AES-128 and AES-192.
TEST(AESCipherTest, MatchesOpenSSLOnRandomInputsBothWays) {
    for (std::size_t keyLength : {16u, 24u, 32u}) {
        for (std::size_t length = 0; length <= 300; length += keyLength == 32 ? 1 : 17) {
            const Bytes key = randomBytes(keyLength);
            const Bytes iv = randomBytes(16);
            const Bytes plaintext = randomBytes(length);
            const Bytes theirs = reference(true, key, iv, plaintext);

            auto sealed = makeCipher(key, iv).encrypt(plaintext);
            ASSERT_TRUE(sealed);
            EXPECT_EQ(sealed.value(), theirs) << keyLength << "/" << length;
            auto opened = makeCipher(key, iv).decrypt(theirs);
            ASSERT_TRUE(opened);
            EXPECT_EQ(opened.value(), plaintext) << keyLength << "/" << length;
        }
    }
}

TEST(AESCipherTest, RefusesWrongKeyAndIVLengths) {
    for (std::size_t keyLength : {0u, 1u, 15u, 17u, 23u, 31u, 33u, 64u}) {
        auto cipher = AESCipher::make(Bytes(keyLength), Bytes(16));
        ASSERT_FALSE(cipher) << keyLength;
        EXPECT_EQ(cipher.error(), AESCipherError::invalidKeyOrInitializationVector);
    }
    for (std::size_t ivLength : {0u, 8u, 15u, 17u, 32u}) {
        const Bytes iv(ivLength);
        auto cipher = AESCipher::make(Bytes(32), iv);
        ASSERT_FALSE(cipher) << ivLength;
        EXPECT_EQ(cipher.error(), AESCipherError::invalidInitializationVector);
    }
    auto noIV = AESCipher::make(Bytes(32), std::nullopt);
    ASSERT_TRUE(noIV);
    auto sealed = noIV->encrypt(Bytes(5));
    ASSERT_FALSE(sealed);
    EXPECT_EQ(sealed.error(), AESCipher::Failure(CBCBlockModeError::MissingInitializationVector));
    auto opened = noIV->decrypt(Bytes(16));
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(), AESCipher::Failure(CBCBlockModeError::MissingInitializationVector));
}

TEST(AESCipherTest, DecryptRefusesPartialOrEmptyCiphertext) {
    for (std::size_t length : {1u, 15u, 17u, 31u}) {
        auto opened = makeCipher(Bytes(32), Bytes(16)).decrypt(Bytes(length));
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error(), AESCipher::Failure(AESCipherError::blockSizeExceeded));
    }
    auto empty = makeCipher(Bytes(32), Bytes(16)).decrypt(Bytes{});
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error(), AESCipher::Failure(AESCipherError::dataPaddingRequired));
}

TEST(AESCipherTest, PaddingIsDroppedByItsLastByteAloneAndOtherwiseKept) {
    const Bytes key = randomBytes(32);
    const Bytes iv = randomBytes(16);
    // Encrypt raw blocks (no padding) so the decrypted last byte is chosen by the test.
    auto encryptRaw = [&](Bytes blocks) {
        AESCipher cipher = makeCipher(key, iv);
        CBCBlockMode::Block ivBlock{};
        std::copy(iv.begin(), iv.end(), ivBlock.begin());
        EXPECT_TRUE(CBCBlockMode().encrypt(blocks, ivBlock, [&](const std::uint8_t* in, std::uint8_t* out) {
            cipher.encryptBlock(in, out);
        }));
        return blocks;
    };
    Bytes lastZero(32, 0x41);
    lastZero.back() = 0;
    EXPECT_EQ(makeCipher(key, iv).decrypt(encryptRaw(lastZero)).value(), lastZero);

    Bytes lastTooLarge(16, 0x41);
    lastTooLarge.back() = 17;
    EXPECT_EQ(makeCipher(key, iv).decrypt(encryptRaw(lastTooLarge)).value(), lastTooLarge);

    Bytes sloppy(32, 0x41);
    sloppy.back() = 3; // the two bytes before it are not 3: dropped anyway
    EXPECT_EQ(makeCipher(key, iv).decrypt(encryptRaw(sloppy)).value(), Bytes(29, 0x41));
}

} // namespace
} // namespace velquor::detail
