// The reference service as a whole: state directory (CA, server certificate, signing key,
// database), the HTTPS front end on loopback, the protocol and the admin interface.
//
//   ReferenceService service({.stateDirectory = dir});
//   if (auto error = service.start()) { /* report *error */ }
//   auto eu = service.baseURL(Region::eu);   // https://127.0.0.1:PORT/eu/
//   service.stop();                          // in-flight requests finish first
#pragma once

#include "Region.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace velquor::service {

struct ServiceOptions {
    std::string host = "127.0.0.1";
    int port = 0; // 0: any free port
    std::filesystem::path stateDirectory;
    bool verbose = false;                        // one line per request on standard error
    uint64_t maxUploadBytes = uint64_t{1} << 30; // archives stored in total
};

// start() and stop() may be called from any thread; stop() is idempotent and also run by the
// destructor. Requests are served on the server's own pool of threads.
class ReferenceService {
public:
    explicit ReferenceService(ServiceOptions options);
    ~ReferenceService();
    ReferenceService(const ReferenceService&) = delete;
    ReferenceService& operator=(const ReferenceService&) = delete;

    // Prepares the state directory (creating it owner-only when missing; refusing one that belongs
    // to another user or is open to group or others), binds and starts serving. Returns the error
    // text, or nullopt once the service accepts connections.
    std::optional<std::string> start();
    // Stops accepting, lets in-flight requests finish and returns when serving has ended.
    void stop();

    int port() const;
    // "https://127.0.0.1:PORT/na/" and so on, each ending in "/".
    std::string baseURL(Region region) const;
    // "https://127.0.0.1:PORT/admin/".
    std::string adminURL() const;
    std::filesystem::path caCertificatePath() const;
    // Base addresses whose TLS a client must refuse: "untrusted" (a CA it was not given) or
    // "wrongName" (the service's CA, another host's name).
    std::string tlsFaultURL(const std::string& kind, Region region) const;
    // {"port", "caCertificate", "baseURLs": {"NA", "EU", "AU"}, "adminURL", "foreignPublicKey",
    // "tlsFaultURLs": {"untrusted", "wrongName"}}: the ready file.
    nlohmann::json readyDescription() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace velquor::service
