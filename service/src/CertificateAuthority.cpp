#include "CertificateAuthority.hpp"

#include "AtomicFile.hpp"
#include "util/OpenSSLPtr.hpp"

#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

namespace velquor::service {
namespace {

using detail::BIO_ptr;
using detail::drainOpenSSLErrors;
using detail::EVP_PKEY_ptr;
using detail::OpenSSLDeleter;
using detail::X509_ptr;
using X509_EXTENSION_ptr = std::unique_ptr<X509_EXTENSION, OpenSSLDeleter<X509_EXTENSION_free>>;
using BIGNUM_ptr = std::unique_ptr<BIGNUM, OpenSSLDeleter<BN_free>>;

constexpr long oneDay = 24L * 60 * 60;

struct KeyedCertificate {
    X509_ptr certificate;
    EVP_PKEY_ptr key;
};

std::string toPem(X509* certificate) {
    BIO_ptr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1)
        return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

std::string toPem(EVP_PKEY* key) {
    BIO_ptr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

std::optional<KeyedCertificate> load(const std::filesystem::path& certificatePath,
                                     const std::filesystem::path& keyPath) {
    const auto certificateText = AtomicFile::read(certificatePath);
    const auto keyText = AtomicFile::read(keyPath);
    if (!certificateText || !keyText)
        return std::nullopt;
    BIO_ptr certificateBio(
        BIO_new_mem_buf(certificateText->data(), static_cast<int>(certificateText->size())));
    BIO_ptr keyBio(BIO_new_mem_buf(keyText->data(), static_cast<int>(keyText->size())));
    KeyedCertificate loaded{X509_ptr(PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr)),
                            EVP_PKEY_ptr(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr))};
    if (!loaded.certificate || !loaded.key ||
        X509_check_private_key(loaded.certificate.get(), loaded.key.get()) != 1) {
        drainOpenSSLErrors();
        return std::nullopt;
    }
    return loaded;
}

bool addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION_ptr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

constexpr const char* loopbackNames = "IP:127.0.0.1,IP:::1,DNS:localhost";

bool isAddress(const std::string& host) {
    unsigned char buffer[16];
    return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// The subject alternative names of a server certificate covering `host` besides loopback.
std::string serverNames(const std::string& host) {
    if (host.empty() || host == "127.0.0.1" || host == "::1" || host == "localhost")
        return loopbackNames;
    return std::string(loopbackNames) + (isAddress(host) ? ",IP:" : ",DNS:") + host;
}

bool names(X509* certificate, const std::string& host) {
    if (host.empty())
        return true;
    return isAddress(host) ? X509_check_ip_asc(certificate, host.c_str(), 0) == 1
                           : X509_check_host(certificate, host.c_str(), host.size(), 0, nullptr) == 1;
}

// Builds and signs one certificate. `issuer` null means self-signed (the CA); `altNames` is used
// for server certificates only.
std::optional<KeyedCertificate> issue(const char* commonName, bool isAuthority,
                                      const KeyedCertificate* issuer, std::string& error,
                                      const std::string& altNames = loopbackNames) {
    KeyedCertificate made{X509_ptr(X509_new()),
                          EVP_PKEY_ptr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"))};
    X509* certificate = made.certificate.get();
    unsigned char serialBytes[16];
    bool ok = certificate && made.key && RAND_bytes(serialBytes, sizeof serialBytes) == 1;
    if (ok) {
        serialBytes[0] &= 0x7F; // positive serial
        BIGNUM_ptr serial(BN_bin2bn(serialBytes, sizeof serialBytes, nullptr));
        ok = serial && BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate)) != nullptr;
    }
    ok = ok && X509_set_version(certificate, X509_VERSION_3) == 1 &&
         X509_gmtime_adj(X509_getm_notBefore(certificate), -oneDay) != nullptr &&
         X509_gmtime_adj(X509_getm_notAfter(certificate), (isAuthority ? 3650 : 825) * oneDay) != nullptr &&
         X509_set_pubkey(certificate, made.key.get()) == 1;
    X509_NAME* name = X509_get_subject_name(certificate);
    ok = ok &&
         X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                    reinterpret_cast<const unsigned char*>("Velquor Reference Service"), -1,
                                    -1, 0) == 1 &&
         X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                    reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0) == 1;
    X509* issuerCertificate = issuer ? issuer->certificate.get() : certificate;
    EVP_PKEY* signingKey = issuer ? issuer->key.get() : made.key.get();
    ok = ok && X509_set_issuer_name(certificate, X509_get_subject_name(issuerCertificate)) == 1;
    if (isAuthority) {
        ok = ok &&
             addExtension(certificate, issuerCertificate, NID_basic_constraints,
                          "critical,CA:TRUE,pathlen:0") &&
             addExtension(certificate, issuerCertificate, NID_key_usage, "critical,keyCertSign,cRLSign") &&
             addExtension(certificate, issuerCertificate, NID_subject_key_identifier, "hash") &&
             addExtension(certificate, issuerCertificate, NID_authority_key_identifier, "keyid:always");
    } else {
        ok = ok && addExtension(certificate, issuerCertificate, NID_basic_constraints, "critical,CA:FALSE") &&
             addExtension(certificate, issuerCertificate, NID_key_usage,
                          "critical,digitalSignature,keyAgreement") &&
             addExtension(certificate, issuerCertificate, NID_ext_key_usage, "serverAuth") &&
             addExtension(certificate, issuerCertificate, NID_subject_alt_name, altNames.c_str()) &&
             addExtension(certificate, issuerCertificate, NID_subject_key_identifier, "hash") &&
             addExtension(certificate, issuerCertificate, NID_authority_key_identifier, "keyid:always");
    }
    ok = ok && X509_sign(certificate, signingKey, EVP_sha256()) > 0;
    if (!ok) {
        error = std::string("cannot create the certificate ") + commonName + ": " + drainOpenSSLErrors();
        return std::nullopt;
    }
    return made;
}

bool stillValid(const KeyedCertificate& server, const KeyedCertificate& authority, const std::string& host) {
    const bool valid = X509_verify(server.certificate.get(), authority.key.get()) == 1 &&
                       X509_cmp_current_time(X509_get0_notAfter(server.certificate.get())) > 0 &&
                       X509_check_ip_asc(server.certificate.get(), "127.0.0.1", 0) == 1 &&
                       names(server.certificate.get(), host);
    drainOpenSSLErrors();
    return valid;
}

std::optional<std::string> save(const KeyedCertificate& made, const std::filesystem::path& certificatePath,
                                const std::filesystem::path& keyPath) {
    const auto keyPem = toPem(made.key.get());
    const auto certificatePem = toPem(made.certificate.get());
    if (keyPem.empty() || certificatePem.empty())
        return "cannot encode " + certificatePath.filename().string() + ": " + drainOpenSSLErrors();
    if (auto failed = AtomicFile::write(keyPath, keyPem, 0600))
        return failed;
    return AtomicFile::write(certificatePath, certificatePem, 0644);
}

std::optional<PemCertificate> inMemory(const std::optional<KeyedCertificate>& made, std::string& error) {
    if (!made)
        return std::nullopt;
    PemCertificate pem{toPem(made->certificate.get()), toPem(made->key.get())};
    if (pem.certificate.empty() || pem.key.empty()) {
        error = "cannot encode a certificate: " + drainOpenSSLErrors();
        return std::nullopt;
    }
    return pem;
}

} // namespace

std::optional<TlsFiles> CertificateAuthority::ensure(const std::filesystem::path& directory,
                                                     const std::string& host, std::string& error) {
    TlsFiles files{directory / "ca.pem", directory / "server.pem", directory / "server-key.pem", {}, {}};
    const auto caKeyPath = directory / "ca-key.pem";
    std::error_code ignored;
    const bool caPresent = std::filesystem::exists(files.caCertificate, ignored);
    const bool caKeyPresent = std::filesystem::exists(caKeyPath, ignored);

    std::optional<KeyedCertificate> authority;
    bool authorityIsNew = false;
    if (caPresent || caKeyPresent) {
        authority = load(files.caCertificate, caKeyPath);
        if (!authority) {
            error =
                "the certificate authority in " + directory.string() +
                " (ca.pem, ca-key.pem) is incomplete or unreadable; remove both files to create a new one";
            return std::nullopt;
        }
    } else {
        authority = issue("Velquor Reference Service CA", true, nullptr, error);
        if (!authority)
            return std::nullopt;
        if (auto failed = save(*authority, files.caCertificate, caKeyPath)) {
            error = *failed;
            return std::nullopt;
        }
        authorityIsNew = true;
    }

    // Certificates a client must refuse: the right names from a stranger, the right CA for a
    // name nobody asks for.
    const auto stranger = issue("Untrusted Test CA", true, nullptr, error);
    auto untrusted = inMemory(
        stranger ? issue("localhost", false, &*stranger, error, serverNames(host)) : std::nullopt, error);
    auto wrongName =
        inMemory(issue("wrong-name.invalid", false, &*authority, error, "DNS:wrong-name.invalid"), error);
    if (!untrusted || !wrongName)
        return std::nullopt;
    files.untrusted = std::move(*untrusted);
    files.wrongName = std::move(*wrongName);

    auto server = authorityIsNew ? std::nullopt : load(files.serverCertificate, files.serverKey);
    if (server && stillValid(*server, *authority, host))
        return files;
    server = issue("localhost", false, &*authority, error, serverNames(host));
    if (!server)
        return std::nullopt;
    if (auto failed = save(*server, files.serverCertificate, files.serverKey)) {
        error = *failed;
        return std::nullopt;
    }
    return files;
}

} // namespace velquor::service
