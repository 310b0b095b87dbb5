#include "remote/RequestBuilder.hpp"

namespace velquor::detail {

RequestBuilder::RequestBuilder(std::shared_ptr<const BundleInfo> bundle)
    : bundle_(std::move(bundle)) {}

Substance RequestBuilder::make(std::string urlString, std::optional<Json> params, std::string name) const {
    std::optional<std::string> bundleIdentifier;
    if (bundle_)
        bundleIdentifier = bundle_->mainBundleValue("CFBundleIdentifier");
    return Substance(std::move(urlString), std::move(params), std::move(name), bundleIdentifier);
}

Substance RequestBuilder::pairingRequest(const std::string& baseURL, const std::string& pairingKey,
                                         const std::string& pushToken, const std::string& publicKey) const {
    Json params = {{"pairingKey", pairingKey},
                   {"mobileDevice", {{"publicKey", publicKey}}},
                   {"installedApplication", {{"pushToken", pushToken}}}};
    return make(baseURL + "v1/pairings", std::move(params), "pairings");
}

Substance RequestBuilder::finalizeRequest(const std::string& baseURL, const std::string& pairingId) const {
    return make(baseURL + "v1/pairings/" + pairingId, std::nullopt, "finalize");
}

Substance RequestBuilder::updatePushTokenRequest(const std::string& baseURL, const std::string& token,
                                                 const std::string& installedApplicationId) const {
    return make(baseURL + "v1/installedApplications/" + installedApplicationId + "/updatePushToken",
                Json{{"token", token}}, "updatePushToken");
}

Substance RequestBuilder::validatePushRequest(const std::string& action, const std::string& urlString,
                                              std::optional<bool> isBanner,
                                              const std::optional<std::string>& method) const {
    Json params = {{"action", action}};
    if (isBanner)
        params["isBanner"] = *isBanner;
    if (method)
        params["method"] = *method;
    return make(urlString, std::move(params), "validatePush");
}

Substance RequestBuilder::deviceInfoRequest(const std::string& baseURL) const {
    return make(baseURL + "v1/deviceInfo", std::nullopt, "deviceInfo");
}

Substance RequestBuilder::logsRequest(const std::string& baseURL, std::vector<std::uint8_t> logData,
                                      const std::string& sha256, const std::string& supportId) const {
    Substance substance =
        make(baseURL + "v1/logs", Json{{"sha256", sha256}, {"supportId", supportId}}, "logs");
    substance.logData = std::move(logData);
    return substance;
}

} // namespace velquor::detail
