#include "platform/linux/RSAKeyCodec.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>

namespace velquor::detail {

namespace {

using PKCS8_ptr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, OpenSSLDeleter<PKCS8_PRIV_KEY_INFO_free>>;

bool isRSA(const EVP_PKEY* key) {
    return key != nullptr && EVP_PKEY_is_a(key, "RSA") == 1;
}

} // namespace

EVP_PKEY_ptr RSAKeyCodec::generate(int bits) {
    if (bits < kMinimumBits || bits > kMaximumBits)
        return nullptr;
    EVP_PKEY_CTX_ptr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), bits) <= 0 ||
        EVP_PKEY_generate(context.get(), &raw) <= 0) {
        drainOpenSSLErrors();
        return nullptr;
    }
    return EVP_PKEY_ptr(raw);
}

EVP_PKEY_ptr RSAKeyCodec::parsePublicPkcs1(const std::uint8_t* bytes, std::size_t size) {
    if (bytes == nullptr || size == 0 || size > static_cast<std::size_t>(LONG_MAX))
        return nullptr;
    const unsigned char* cursor = bytes;
    EVP_PKEY_ptr key(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(size)));
    if (!key || !isRSA(key.get())) {
        drainOpenSSLErrors();
        return nullptr;
    }
    // The decoder is lenient (BER, trailing bytes); only bytes that encode back identically pass.
    std::vector<std::uint8_t> canonical;
    if (!encodePublicPkcs1(key.get(), canonical) || canonical.size() != size ||
        std::memcmp(canonical.data(), bytes, size) != 0)
        return nullptr;
    // Numbers no RSA key can have. (OpenSSL's full public check also tests the modulus for
    // primality, which costs milliseconds on every reply verification.)
    BIGNUM* modulus = nullptr;
    BIGNUM* exponent = nullptr;
    const bool numbersRead = EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &modulus) == 1 &&
                             EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, &exponent) == 1;
    const bool plausible = numbersRead && BN_is_odd(modulus) && BN_num_bits(modulus) >= kMinimumPublicBits &&
                           BN_is_odd(exponent) && !BN_is_one(exponent) && BN_cmp(exponent, modulus) < 0;
    BN_free(modulus);
    BN_free(exponent);
    drainOpenSSLErrors();
    return plausible ? std::move(key) : nullptr;
}

EVP_PKEY_ptr RSAKeyCodec::parsePrivatePkcs8(const std::uint8_t* bytes, std::size_t size) {
    if (bytes == nullptr || size == 0 || size > static_cast<std::size_t>(LONG_MAX))
        return nullptr;
    const unsigned char* cursor = bytes;
    PKCS8_ptr info(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &cursor, static_cast<long>(size)));
    if (!info || cursor != bytes + size) {
        drainOpenSSLErrors();
        return nullptr;
    }
    EVP_PKEY_ptr key(EVP_PKCS82PKEY(info.get()));
    if (!key || !isRSA(key.get())) {
        drainOpenSSLErrors();
        return nullptr;
    }
    return key;
}

bool RSAKeyCodec::encodePublicPkcs1(const EVP_PKEY* key, std::vector<std::uint8_t>& der) {
    der.clear();
    if (!isRSA(key))
        return false;
    unsigned char* buffer = nullptr;
    int length = i2d_PublicKey(key, &buffer);
    if (length <= 0) {
        drainOpenSSLErrors();
        return false;
    }
    der.assign(buffer, buffer + length);
    OPENSSL_free(buffer);
    return true;
}

bool RSAKeyCodec::encodePrivatePkcs8(const EVP_PKEY* key, std::vector<std::uint8_t>& der) {
    der.clear();
    if (!isRSA(key))
        return false;
    PKCS8_ptr info(EVP_PKEY2PKCS8(key));
    unsigned char* buffer = nullptr;
    int length = info ? i2d_PKCS8_PRIV_KEY_INFO(info.get(), &buffer) : 0;
    if (length <= 0) {
        drainOpenSSLErrors();
        return false;
    }
    der.assign(buffer, buffer + length);
    OPENSSL_clear_free(buffer, static_cast<std::size_t>(length));
    return true;
}

} // namespace velquor::detail
