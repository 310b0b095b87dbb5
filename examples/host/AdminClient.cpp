#include "AdminClient.hpp"

#include <curl/curl.h>

#include <fstream>
#include <memory>
#include <stdexcept>

namespace example {

using velquor::Json;

ServiceAddresses AdminClient::readReadyFile(const std::filesystem::path& readyFile) {
    std::ifstream in(readyFile);
    const Json ready = Json::parse(in, nullptr, false);
    try {
        const Json& bases = ready.at("baseURLs");
        return {bases.at("NA").get<std::string>(), bases.at("EU").get<std::string>(),
                bases.at("AU").get<std::string>(), ready.at("adminURL").get<std::string>(),
                ready.at("caCertificate").get<std::string>()};
    } catch (const Json::exception& e) {
        throw std::runtime_error("the ready file " + readyFile.string() + " is unusable: " + e.what());
    }
}

AdminClient::AdminClient(ServiceAddresses addresses)
    : addresses_(std::move(addresses)) {}

std::string AdminClient::mintPairingKey(const std::string& region) const {
    return postJson("pairing-keys", {{"region", region}}).at("pairingKey").get<std::string>();
}

std::string AdminClient::mintIdentityToken(const std::string& region) const {
    return postJson("identity-tokens", {{"region", region}}).at("idToken").get<std::string>();
}

RaisedAuthentication AdminClient::raiseAuthentication(const std::string& deviceId) const {
    const Json raised = postJson("devices/" + deviceId + "/authentications", Json::object());
    return {raised.at("authenticationId").get<std::string>(), raised.at("userInfo")};
}

std::string AdminClient::authenticationStatus(const std::string& authenticationId) const {
    const Json recorded = Json::parse(request("authentications/" + authenticationId, nullptr, 200));
    return recorded.at("status").get<std::string>();
}

std::string AdminClient::uploadedArchive(const std::string& supportId) const {
    return request("uploads/" + supportId, nullptr, 200);
}

Json AdminClient::postJson(const std::string& path, const Json& body) const {
    return Json::parse(request(path, &body, 201));
}

std::string AdminClient::request(const std::string& path, const Json* body, long expectedStatus) const {
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
        curl_slist_append(nullptr, "content-type: application/json"), curl_slist_free_all);
    if (!curl || !headers)
        throw std::runtime_error("libcurl is unusable");
    const std::string url = addresses_.adminURL + path;
    const std::string sent = body ? body->dump() : std::string();
    const std::string caFile = addresses_.caCertificate.string();
    std::string reply;
    using Writer = size_t (*)(char*, size_t, size_t, void*);
    Writer write = [](char* data, size_t size, size_t count, void* target) {
        static_cast<std::string*>(target)->append(data, size * count);
        return size * count;
    };
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_CAINFO, caFile.c_str()); // the service's own CA, nothing else
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    if (body)
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, sent.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*"); // the service is on loopback
    const CURLcode result = curl_easy_perform(curl.get());
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (result != CURLE_OK)
        throw std::runtime_error("admin " + url + ": " + curl_easy_strerror(result));
    if (status != expectedStatus)
        throw std::runtime_error("admin " + url + ": status " + std::to_string(status) + " " + reply);
    return reply;
}

} // namespace example
