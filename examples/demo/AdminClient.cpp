#include "AdminClient.hpp"

#include <curl/curl.h>

#include <fstream>
#include <iostream>
#include <memory>

namespace velquor::demo {

std::optional<ServiceAddresses> readReadyFile(const std::filesystem::path& readyFile) {
    std::ifstream in(readyFile);
    if (!in) {
        std::cerr << "cannot open the ready file " << readyFile << std::endl;
        return std::nullopt;
    }
    const Json ready = Json::parse(in, nullptr, false);
    try {
        const Json& bases = ready.at("baseURLs");
        return ServiceAddresses{bases.at("NA").get<std::string>(), bases.at("EU").get<std::string>(),
                                bases.at("AU").get<std::string>(), ready.at("adminURL").get<std::string>(),
                                ready.at("caCertificate").get<std::string>()};
    } catch (const Json::exception& e) {
        std::cerr << "ready file " << readyFile << " unusable: " << e.what() << std::endl;
        return std::nullopt;
    }
}

AdminClient::AdminClient(ServiceAddresses addresses)
    : addresses_(std::move(addresses)) {}

std::optional<Json> AdminClient::post(const std::string& path, const Json& body) const {
    return request(path, &body, 201);
}

std::optional<Json> AdminClient::get(const std::string& path) const {
    return request(path, nullptr, 200);
}

std::optional<Json> AdminClient::request(const std::string& path, const Json* body,
                                         long expectedStatus) const {
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
        curl_slist_append(nullptr, "content-type: application/json"), curl_slist_free_all);
    if (!curl || !headers)
        return std::nullopt;
    const std::string url = addresses_.adminURL + path;
    const std::string request = body ? body->dump() : std::string();
    const std::string caFile = addresses_.caCertificate.string();
    std::string reply;
    using Writer = size_t (*)(char*, size_t, size_t, void*);
    Writer write = [](char* data, size_t size, size_t count, void* target) {
        static_cast<std::string*>(target)->append(data, size * count);
        return size * count;
    };
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    if (body)
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, request.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*"); // the service is on loopback
    const CURLcode result = curl_easy_perform(curl.get());
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (result != CURLE_OK || status != expectedStatus) {
        std::cerr << "admin " << (body ? "POST " : "GET ") << url << " failed: "
                  << (result != CURLE_OK ? curl_easy_strerror(result) : "status " + std::to_string(status))
                  << " " << reply << std::endl;
        return std::nullopt;
    }
    Json parsed = Json::parse(reply, nullptr, false);
    if (parsed.is_discarded())
        return std::nullopt;
    return parsed;
}

} // namespace velquor::demo
