// The service's own small certificate authority: on first start it creates, in the state
// directory, a CA ("ca.pem" + "ca-key.pem") and a server certificate for 127.0.0.1, ::1 and
// localhost signed by it ("server.pem" + "server-key.pem"); later starts reuse them, so a host app
// that trusts ca.pem keeps trusting the service. Key files are owner-only and written atomically.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace velquor::service {

// A certificate and its private key, PEM, held in memory only.
struct PemCertificate {
    std::string certificate;
    std::string key;
};

// Paths of the TLS material inside the state directory, and the two certificates that exist for
// clients to refuse: one from a CA nobody was given, one from the service's CA naming another host.
struct TlsFiles {
    std::filesystem::path caCertificate;
    std::filesystem::path serverCertificate;
    std::filesystem::path serverKey;
    PemCertificate untrusted;
    PemCertificate wrongName;
};

// Stateless; call from one thread at a time per state directory (start-up does).
class CertificateAuthority {
public:
    // Loads the material in `directory`, creating what is missing. A server certificate that no
    // longer verifies with the CA, has expired, does not match its key or does not name `host`
    // (an address or a name, besides 127.0.0.1, ::1 and localhost; empty for none) is replaced; a
    // CA that is present but unreadable is an error (nothing is overwritten). The two refusable
    // certificates are made afresh. nullopt with `error` on failure.
    static std::optional<TlsFiles> ensure(const std::filesystem::path& directory, const std::string& host,
                                          std::string& error);
};

} // namespace velquor::service
