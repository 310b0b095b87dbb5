#include "ServiceKeys.hpp"

#include "ServiceBase64.hpp"

#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <mutex>
#include <vector>

namespace velquor::service {

using detail::BIO_ptr;
using detail::drainOpenSSLErrors;
using detail::EVP_PKEY_CTX_ptr;
using detail::EVP_PKEY_ptr;

namespace {

enum class Use { sign, verify };

// Fetched once: an implicit fetch by name on every digest costs a lookup in OpenSSL's method store.
const EVP_MD* sha256Method() {
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
    return md;
}

} // namespace

// Public-key contexts set up for RSASSA-PKCS1-v1_5 over SHA-256, kept for reuse. A context serves
// one call at a time, so each call takes one out and puts it back.
class ServiceKeys::ContextPool {
public:
    explicit ContextPool(EVP_PKEY* key)
        : key_(key) {}
    ~ContextPool() {
        for (auto* context : free_[0])
            EVP_PKEY_CTX_free(context);
        for (auto* context : free_[1])
            EVP_PKEY_CTX_free(context);
    }
    ContextPool(const ContextPool&) = delete;
    ContextPool& operator=(const ContextPool&) = delete;

    // A context ready for `use`; null (errors left queued) when OpenSSL refuses to make one.
    EVP_PKEY_CTX_ptr take(Use use) {
        {
            std::lock_guard lock(mutex_);
            auto& available = free_[use == Use::sign ? 0 : 1];
            if (!available.empty()) {
                EVP_PKEY_CTX_ptr context(available.back());
                available.pop_back();
                return context;
            }
        }
        EVP_PKEY_CTX_ptr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key_, nullptr));
        const bool ready = context &&
                           (use == Use::sign ? EVP_PKEY_sign_init(context.get())
                                             : EVP_PKEY_verify_init(context.get())) == 1 &&
                           EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
                           EVP_PKEY_CTX_set_signature_md(context.get(), sha256Method()) == 1;
        return ready ? std::move(context) : nullptr;
    }
    void giveBack(Use use, EVP_PKEY_CTX_ptr context) {
        std::lock_guard lock(mutex_);
        free_[use == Use::sign ? 0 : 1].push_back(context.release());
    }

private:
    EVP_PKEY* key_; // owned by the ServiceKeys that share this pool
    std::mutex mutex_;
    std::vector<EVP_PKEY_CTX*> free_[2]; // [0] signing, [1] verifying
};

ServiceKeys::ServiceKeys(EVP_PKEY_ptr key)
    : key_(std::move(key))
    , contexts_(std::make_shared<ContextPool>(key_.get())) {}

ServiceKeys::ServiceKeys(const ServiceKeys& other)
    : key_(nullptr)
    , contexts_(other.contexts_) {
    if (other.key_ && EVP_PKEY_up_ref(other.key_.get()) == 1)
        key_.reset(other.key_.get());
}

ServiceKeys& ServiceKeys::operator=(const ServiceKeys& other) {
    if (this != &other) {
        ServiceKeys copy(other);
        key_ = std::move(copy.key_);
        contexts_ = std::move(copy.contexts_);
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

bool ServiceKeys::sha256(std::string_view data, Sha256& out) {
    unsigned int length = 0;
    const EVP_MD* md = sha256Method();
    return md && EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) == 1 &&
           length == out.size();
}

std::string ServiceKeys::hex(const Sha256& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text(2 * digest.size(), '\0');
    for (size_t i = 0; i < digest.size(); ++i) {
        text[2 * i] = digits[digest[i] >> 4];
        text[2 * i + 1] = digits[digest[i] & 15];
    }
    return text;
}

int ServiceKeys::bits() const {
    return EVP_PKEY_get_bits(key_.get());
}

std::optional<std::string> ServiceKeys::signSha256(std::string_view data) const {
    Sha256 hash;
    auto context = key_ && sha256(data, hash) ? contexts_->take(Use::sign) : nullptr;
    size_t length = 0;
    if (!context || EVP_PKEY_sign(context.get(), nullptr, &length, hash.data(), hash.size()) != 1) {
        drainOpenSSLErrors();
        return std::nullopt;
    }
    std::string signature(length, '\0');
    if (EVP_PKEY_sign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, hash.data(),
                      hash.size()) != 1) {
        drainOpenSSLErrors();
        return std::nullopt;
    }
    contexts_->giveBack(Use::sign, std::move(context));
    signature.resize(length);
    return signature;
}

bool ServiceKeys::verifySha256(std::string_view data, std::string_view signature) const {
    Sha256 hash;
    auto context = key_ && sha256(data, hash) ? contexts_->take(Use::verify) : nullptr;
    if (!context) {
        drainOpenSSLErrors();
        return false;
    }
    const int result =
        EVP_PKEY_verify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                        signature.size(), hash.data(), hash.size());
    // A refused signature leaves the context as usable as an accepted one; an internal failure
    // (below 0) does not.
    if (result >= 0)
        contexts_->giveBack(Use::verify, std::move(context));
    drainOpenSSLErrors();
    return result == 1;
}

} // namespace velquor::service
