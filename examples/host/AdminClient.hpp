// The reference service as the example drives it: where it listens (its ready file) and the admin
// requests that stand in for the real world — a pairing key the user would type in, an identity
// token the host's sign-in would hand over, an authentication whose push notification the platform
// would deliver, and what the service recorded. The admin interface is plain JSON over the same
// TLS as the protocol, so libcurl does it directly. A real host has none of this.
#pragma once

#include <velquor/Velquor.hpp>

#include <filesystem>
#include <string>

namespace example {

// What the service's ready file says.
struct ServiceAddresses {
    std::string northAmericaBaseURL;
    std::string europeBaseURL;
    std::string asiaPacificBaseURL;
    std::string adminURL;
    std::filesystem::path caCertificate;
};

// An authentication the service raised, and the push payload it would have sent.
struct RaisedAuthentication {
    std::string id;
    velquor::Json userInfo;
};

// Every request throws std::runtime_error, with the reason, when it fails. Not thread-safe.
class AdminClient {
public:
    static ServiceAddresses readReadyFile(const std::filesystem::path& readyFile);

    explicit AdminClient(ServiceAddresses addresses);

    // `region` is "NA", "EU" or "AU".
    std::string mintPairingKey(const std::string& region) const;
    std::string mintIdentityToken(const std::string& region) const;
    RaisedAuthentication raiseAuthentication(const std::string& deviceId) const;
    // "PENDING", "APPROVED", "DENIED" or "EXPIRED".
    std::string authenticationStatus(const std::string& authenticationId) const;
    // The archive a log upload filed under `supportId`, byte for byte.
    std::string uploadedArchive(const std::string& supportId) const;

private:
    velquor::Json postJson(const std::string& path, const velquor::Json& body) const;
    // The reply body of a request with the expected status; `body` null: a GET.
    std::string request(const std::string& path, const velquor::Json* body, long expectedStatus) const;

    ServiceAddresses addresses_;
};

} // namespace example
