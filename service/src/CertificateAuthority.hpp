// The service's own small certificate authority: on first start it creates, in the state
// directory, a CA ("ca.pem" + "ca-key.pem") and a server certificate for 127.0.0.1, ::1 and
// localhost signed by it ("server.pem" + "server-key.pem"); later starts reuse them, so a host app
// that trusts ca.pem keeps trusting the service. Key files are owner-only and written atomically.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace velquor::service {

// Paths of the TLS material inside the state directory.
struct TlsFiles {
    std::filesystem::path caCertificate;
    std::filesystem::path serverCertificate;
    std::filesystem::path serverKey;
};

// Stateless; call from one thread at a time per state directory (start-up does).
class CertificateAuthority {
public:
    // Loads the material in `directory`, creating what is missing. A server certificate that no
    // longer verifies with the CA, has expired or does not match its key is replaced; a CA that is
    // present but unreadable is an error (nothing is overwritten). nullopt with `error` on failure.
    static std::optional<TlsFiles> ensure(const std::filesystem::path& directory, std::string& error);
};

} // namespace velquor::service
