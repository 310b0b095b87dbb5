// RSA keys as the service uses them: its own RS256 signing key (kept as PEM in the state
// directory), the keys devices send at pairing (Base64 SubjectPublicKeyInfo), and the
// "foreign" key that faults sign with.
#pragma once

#include "util/OpenSSLPtr.hpp"

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velquor::service {

// One RSA key, public or private. Immutable after construction, so one instance may sign or
// verify from many threads at once: each call borrows a prepared context from a pool the copies
// share (setting one up, with OpenSSL's lookups, costs a noticeable part of a verification).
class ServiceKeys {
public:
    // A fresh RSA key of `bits` bits; nullopt (with `error` filled) when OpenSSL refuses.
    static std::optional<ServiceKeys> generate(int bits, std::string& error);
    // A private key from PEM text (PKCS#8 or traditional).
    static std::optional<ServiceKeys> fromPrivatePem(std::string_view pem, std::string& error);
    // A device public key from standard Base64 of an X.509 SubjectPublicKeyInfo. Anything else (a
    // bare PKCS#1 key included), trailing bytes, non-RSA keys and keys under 2048 bits are refused.
    static std::optional<ServiceKeys> fromPublicBase64(std::string_view text, std::string& error);

    using Sha256 = std::array<unsigned char, 32>;
    // The SHA-256 of `data` into `out`; false only when OpenSSL cannot digest.
    static bool sha256(std::string_view data, Sha256& out);
    // Lower-case hex of a digest (64 characters).
    static std::string hex(const Sha256& digest);

    // PKCS#8 PEM of the private key ("" when this is a public key).
    std::string privatePem() const;
    // DER SubjectPublicKeyInfo of the public half.
    std::string publicKeyDer() const;
    // Standard Base64 of publicKeyDer(): the "serverPublicKey" form.
    std::string publicKeyBase64() const { return encodePublic(); }
    int bits() const;

    // RSASSA-PKCS1-v1_5 over SHA-256; nullopt when the key cannot sign (public key, OpenSSL error).
    std::optional<std::string> signSha256(std::string_view data) const;
    // True exactly when `signature` is a valid RS256 signature of `data` under this key.
    bool verifySha256(std::string_view data, std::string_view signature) const;

    EVP_PKEY* get() const { return key_.get(); }

    // Copies share the one OpenSSL key object (reference counted).
    ServiceKeys(const ServiceKeys& other);
    ServiceKeys& operator=(const ServiceKeys& other);
    ServiceKeys(ServiceKeys&&) noexcept = default;
    ServiceKeys& operator=(ServiceKeys&&) noexcept = default;

private:
    class ContextPool;

    explicit ServiceKeys(detail::EVP_PKEY_ptr key);
    std::string encodePublic() const;

    detail::EVP_PKEY_ptr key_;
    std::shared_ptr<ContextPool> contexts_;
};

} // namespace velquor::service
