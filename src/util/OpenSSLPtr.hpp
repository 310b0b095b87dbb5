// Owning handles for OpenSSL objects, and the drain of OpenSSL's error queue into text.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace velquor::detail {

template <auto Free> struct OpenSSLDeleter {
    template <typename T> void operator()(T* p) const noexcept { Free(p); }
};

using EVP_PKEY_ptr = std::unique_ptr<EVP_PKEY, OpenSSLDeleter<EVP_PKEY_free>>;
using EVP_PKEY_CTX_ptr = std::unique_ptr<EVP_PKEY_CTX, OpenSSLDeleter<EVP_PKEY_CTX_free>>;
using EVP_MD_CTX_ptr = std::unique_ptr<EVP_MD_CTX, OpenSSLDeleter<EVP_MD_CTX_free>>;
using EVP_CIPHER_CTX_ptr = std::unique_ptr<EVP_CIPHER_CTX, OpenSSLDeleter<EVP_CIPHER_CTX_free>>;
using BIO_ptr = std::unique_ptr<BIO, OpenSSLDeleter<BIO_free_all>>;
using X509_ptr = std::unique_ptr<X509, OpenSSLDeleter<X509_free>>;

// Empties OpenSSL's thread-local error queue into one line ("" when it was empty).
inline std::string drainOpenSSLErrors() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty())
            text += "; ";
        text += buffer;
    }
    return text;
}

} // namespace velquor::detail
