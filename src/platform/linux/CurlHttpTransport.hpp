// The Linux HTTP transport: libcurl over the process's one network thread, TLS always verified.
//
//   auto http = std::make_shared<CurlHttpTransport>("/etc/myapp/service-ca.pem");
//   http->send({.method = "POST", .url = "https://127.0.0.1:8443/v1/pairings"},
//              [](std::optional<HttpReply> reply, std::optional<HttpError> error) { /* ... */ });
#pragma once

#include "platform/linux/CurlNetworkThread.hpp"

#include <velquor/Platform.hpp>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace velquor::detail {

// Thread-safe; see HttpTransport for the contract. Completions run on the network thread
// (CurlNetworkThread), which every instance shares; an exception a completion throws is caught
// there and dropped. Destroying an instance leaves its requests in flight to finish and call
// their completions. Redirects are not followed: a 3xx reply is handed over as it is.
class CurlHttpTransport final : public HttpTransport {
public:
    // `trustedCertificates`: a PEM file of the only authorities to trust; empty: the system store.
    // `inactivityLimit` replaces each request's own limit (tests provoke timeouts with it).
    // The proxy variables (http_proxy, https_proxy, all_proxy, no_proxy and their upper-case
    // forms, except HTTP_PROXY) are read here, once.
    explicit CurlHttpTransport(std::filesystem::path trustedCertificates = {},
                               std::optional<std::chrono::seconds> inactivityLimit = std::nullopt);

    void send(HttpRequest request, Completion completion) override;

private:
    CurlNetworkThread& network_;
    std::string trustFile_;
    std::chrono::seconds inactivityLimit_{0};
    std::string httpProxy_;
    std::string httpsProxy_;
    std::string allProxy_;
    std::string noProxy_;
};

} // namespace velquor::detail
