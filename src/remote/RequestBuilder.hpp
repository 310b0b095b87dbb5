// The six request kinds the library sends, each built as a Substance with its name, address
// and parameters. `baseURL` is a regional base address ending in "/"; path parts are appended
// to it as plain text (a pairing id is inserted verbatim).
//
//   RequestBuilder builder(platform.services.bundle);
//   Substance info = builder.deviceInfoRequest("https://api.eu.example/");
//   // info.urlString == "https://api.eu.example/v1/deviceInfo", info.params absent
//
// Holds only the bundle facts; safe to use from any thread.
#pragma once

#include "remote/Substance.hpp"

#include <velquor/Platform.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velquor::detail {

class RequestBuilder {
public:
    explicit RequestBuilder(std::shared_ptr<const BundleInfo> bundle);

    Substance pairingRequest(const std::string& baseURL, const std::string& pairingKey,
                             const std::string& pushToken, const std::string& publicKey) const;
    Substance finalizeRequest(const std::string& baseURL, const std::string& pairingId) const;
    Substance updatePushTokenRequest(const std::string& baseURL, const std::string& token,
                                     const std::string& installedApplicationId) const;
    // `urlString` is the answer address a notification names, used as it is.
    Substance validatePushRequest(const std::string& action, const std::string& urlString,
                                  std::optional<bool> isBanner,
                                  const std::optional<std::string>& method) const;
    Substance deviceInfoRequest(const std::string& baseURL) const;
    Substance logsRequest(const std::string& baseURL, std::vector<std::uint8_t> logData,
                          const std::string& sha256, const std::string& supportId) const;

private:
    Substance make(std::string urlString, std::optional<Json> params, std::string name) const;

    std::shared_ptr<const BundleInfo> bundle_;
};

} // namespace velquor::detail
