#include "ServiceKeys.hpp"

#include "ServiceBase64.hpp"

#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace velquor::service {

using detail::BIO_ptr;
using detail::drainOpenSSLErrors;
using detail::EVP_MD_CTX_ptr;
using detail::EVP_PKEY_ptr;

ServiceKeys::ServiceKeys(const ServiceKeys& other)
    : key_(nullptr) {
    if (other.key_ && EVP_PKEY_up_ref(other.key_.get()) == 1)
        key_.reset(other.key_.get());
}

ServiceKeys& ServiceKeys::operator=(const ServiceKeys& other) {
    if (this != &other) {
        ServiceKeys copy(other);
        key_ = std::move(copy.key_);
    }
    return *this;
}

std::optional<ServiceKeys> ServiceKeys::generate(int bits, std::string& error) {
    EVP_PKEY_ptr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
    if (!key) {
        error = "RSA key generation failed: " + drainOpenSSLErrors();
        return std::nullopt;
    }
    return ServiceKeys(std::move(key));
}

std::optional<ServiceKeys> ServiceKeys::fromPrivatePem(std::string_view pem, std::string& error) {
    BIO_ptr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    EVP_PKEY_ptr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || !EVP_PKEY_is_a(key.get(), "RSA")) {
        error = "not an RSA private key in PEM form: " + drainOpenSSLErrors();
        return std::nullopt;
    }
    return ServiceKeys(std::move(key));
}

std::optional<ServiceKeys> ServiceKeys::fromPublicBase64(std::string_view text, std::string& error) {
    const auto der = ServiceBase64::decode(text);
    if (!der || der->empty()) {
        error = "the public key is not standard Base64";
        return std::nullopt;
    }
    const auto* begin = reinterpret_cast<const unsigned char*>(der->data());
    const long length = static_cast<long>(der->size());
    const unsigned char* cursor = begin;
    EVP_PKEY_ptr key(d2i_PUBKEY(nullptr, &cursor, length));
    drainOpenSSLErrors();
    if (!key || cursor != begin + length) {
        error = "the public key is not an X.509 SubjectPublicKeyInfo";
        return std::nullopt;
    }
    if (!EVP_PKEY_is_a(key.get(), "RSA")) {
        error = "the public key is not an RSA key";
        return std::nullopt;
    }
    if (EVP_PKEY_get_bits(key.get()) < 2048) {
        error = "the RSA public key is shorter than 2048 bits";
        return std::nullopt;
    }
    return ServiceKeys(std::move(key));
}

std::string ServiceKeys::privatePem() const {
    BIO_ptr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        drainOpenSSLErrors();
        return {};
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

std::string ServiceKeys::publicKeyDer() const {
    unsigned char* der = nullptr;
    const int size = i2d_PUBKEY(key_.get(), &der);
    if (size <= 0) {
        drainOpenSSLErrors();
        return {};
    }
    std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(size));
    OPENSSL_free(der);
    return out;
}

std::string ServiceKeys::encodePublic() const {
    return ServiceBase64::encode(publicKeyDer());
}

int ServiceKeys::bits() const {
    return EVP_PKEY_get_bits(key_.get());
}

std::optional<std::string> ServiceKeys::signSha256(std::string_view data) const {
    EVP_MD_CTX_ptr context(EVP_MD_CTX_new());
    size_t length = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) != 1) {
        drainOpenSSLErrors();
        return std::nullopt;
    }
    std::string signature(length, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
        drainOpenSSLErrors();
        return std::nullopt;
    }
    signature.resize(length);
    return signature;
}

bool ServiceKeys::verifySha256(std::string_view data, std::string_view signature) const {
    EVP_MD_CTX_ptr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1) {
        drainOpenSSLErrors();
        return false;
    }
    const int result =
        EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                         signature.size(), reinterpret_cast<const unsigned char*>(data.data()), data.size());
    drainOpenSSLErrors();
    return result == 1;
}

} // namespace velquor::service
