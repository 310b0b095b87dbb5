// The demo's view of the reference service: where it listens (its ready file) and the two admin
// requests the demo needs: a fresh pairing key, a signed identity token, an authentication for
// the paired device and what the device answered to it. The service's admin
// interface is plain JSON over the same TLS as the protocol, so libcurl does it directly.
#pragma once

#include <velquor/Velquor.hpp>

#include <filesystem>
#include <optional>
#include <string>

namespace velquor::demo {

// What the service's ready file says.
struct ServiceAddresses {
    std::string northAmericaBaseURL;
    std::string europeBaseURL;
    std::string asiaPacificBaseURL;
    std::string adminURL;
    std::filesystem::path caCertificate;
};

// Nothing, with a message on stderr, when the file cannot be read or lacks a member.
std::optional<ServiceAddresses> readReadyFile(const std::filesystem::path& readyFile);

// Not thread-safe; one request at a time.
class AdminClient {
public:
    explicit AdminClient(ServiceAddresses addresses);

    // POSTs `body` to admin/`path`; the JSON reply of a 201, else nothing (the reason on stderr).
    std::optional<Json> post(const std::string& path, const Json& body) const;
    // GETs admin/`path`; the JSON reply of a 200, else nothing (the reason on stderr).
    std::optional<Json> get(const std::string& path) const;

private:
    std::optional<Json> request(const std::string& path, const Json* body, long expectedStatus) const;

    ServiceAddresses addresses_;
};

} // namespace velquor::demo
