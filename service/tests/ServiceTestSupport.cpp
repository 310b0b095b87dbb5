#include "ServiceTestSupport.hpp"

#include "RandomIds.hpp"
#include "ServiceToken.hpp"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace velquor::service::test {

namespace {

size_t collectBody(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// What every request of a device carries, signed or not.
json requestClaims(const json& own, bool sandbox = false) {
    json claims{{"fnp", "5B1F2A9C-0000-4000-8000-000000000001"},
                {"jti", RandomIds::uuid()},
                {"exp", nowSeconds() + 120},
                {"metadata", deviceData(sandbox)}};
    claims.update(own);
    return claims;
}

} // namespace

HttpReply HttpsClient::request(const std::string& method, const std::string& url,
                               const std::vector<std::string>& headers, const std::string& body) {
    HttpReply reply;
    CURL* curl = curl_.get();
    curl_easy_reset(curl);
    curl_slist* list = curl_slist_append(nullptr, "Expect:");
    for (const auto& header : headers)
        list = curl_slist_append(list, header.c_str());
    curl_slist* resolve = nullptr;
    for (const auto& entry : resolve_)
        resolve = curl_slist_append(resolve, entry.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, caFile_.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_RESOLVE, resolve);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (method == "POST" || !body.empty()) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    reply.code = curl_easy_perform(curl);
    for (curl_header* header = nullptr; (header = curl_easy_nextheader(curl, CURLH_HEADER, -1, header));) {
        std::string name = header->name;
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        reply.headers[name] = header->value;
    }
    curl_slist_free_all(list);
    curl_slist_free_all(resolve);
    if (reply.code != CURLE_OK)
        reply.transportError = curl_easy_strerror(reply.code);
    else
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    return reply;
}

const ServiceKeys& testKey(int index) {
    static const auto keys = [] {
        std::string error;
        return std::array{*ServiceKeys::generate(2048, error), *ServiceKeys::generate(2048, error)};
    }();
    return keys.at(index);
}

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[32];
    EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, EVP_sha256(), nullptr);
    std::string hex(64, '\0');
    for (size_t i = 0; i < 32; ++i)
        std::snprintf(hex.data() + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

std::string makeToken(const json& claims, const ServiceKeys* key, const std::optional<std::string>& kid,
                      json header) {
    if (kid)
        header["kid"] = *kid;
    header["alg"] = key ? "RS256" : "none";
    const std::string input = base64Url(header.dump()) + "." + base64Url(claims.dump());
    return input + "." + (key ? base64Url(key->signSha256(input).value_or("")) : std::string());
}

json deviceData(bool sandbox) {
    auto data = json::parse(R"json({"os": {"version": "17.0", "type": "IOS"}, "name": "Test phone",
        "model": {"name": "iPhone12,1", "marketingName": ""}, "manufacturer": "Apple", "apiVersion": "v1",
        "sdkVersion": "2.4.0(7)", "rooted": false, "lockEnabled": "true", "locale": "en-US",
        "networkType": "WiFi", "networksInfo": "unknown", "application": {"bundleId": "com.example.host",
        "version": "1.0(1)", "name": "Host"}, "permissions": {"camera": "authorized",
        "location": "notEnabled", "push": "unknown", "silentPush": "available"}})json");
    data["application"]["pushSandbox"] = sandbox;
    return data;
}

std::string multipartBody(const std::string& zip) {
    return "--b\r\nContent-Disposition: form-data; name=\"log-file\"; filename=\"velquorv2.zip\"\r\n"
           "Content-Type: application/zip\r\n\r\n" +
           zip + "\r\n--b--\r\n";
}

std::optional<DecodedToken> decodeToken(const std::string& compact, const std::string& serverPublicKey) {
    std::string error;
    const auto token = ServiceToken::parse(compact, error);
    if (!token)
        return std::nullopt;
    const auto key = ServiceKeys::fromPublicBase64(serverPublicKey, error);
    return DecodedToken{token->header(), token->claims(), key && token->isSignedBy(*key)};
}

json PairedDevice::claims(const json& extra) const {
    auto claims = requestClaims({{"iss", installedApplicationId}, {"dvc", id}});
    claims.update(extra);
    return claims;
}

std::string PairedDevice::payloadToken(const json& extra) const {
    auto payload = claims(extra);
    payload.erase("metadata");
    return makeToken(payload, key, id);
}

RunningService::RunningService(ServiceOptions options) {
    if (options.stateDirectory.empty()) {
        temp_ = std::make_unique<TempDir>();
        options.stateDirectory = temp_->path() / "state";
    }
    const auto directory = options.stateDirectory;
    service_ = std::make_unique<ReferenceService>(std::move(options));
    if (const auto error = service_->start())
        throw std::runtime_error("the service did not start: " + *error);
    client_ = std::make_unique<HttpsClient>(service_->caCertificatePath());
    std::string error;
    const auto key = ServiceKeys::fromPrivatePem(readFile(directory / "service-key.pem"), error);
    serverPublicKey_ = key ? key->publicKeyBase64() : "";
}

HttpReply RunningService::upload(const PairedDevice& device, const std::string& token,
                                 const std::string& body) {
    return client_->request("POST", device.baseURL + "v1/logs",
                            {"content-type: multipart/form-data;  boundary=b", "Accept: application/jwt",
                             "Marvis-Mobile-Logs: " + token},
                            body);
}

json RunningService::adminPost(const std::string& path, const json& body) {
    const auto reply = adminRaw("POST", path, body.dump());
    EXPECT_EQ(reply.status, 201) << path << ": " << reply.body << reply.transportError;
    return json::parse(reply.body, nullptr, false);
}

json RunningService::adminGet(const std::string& path) {
    const auto reply = adminRaw("GET", path);
    EXPECT_EQ(reply.status, 200) << path << ": " << reply.body << reply.transportError;
    return json::parse(reply.body, nullptr, false);
}

json RunningService::pairingClaims(const std::string& pairingKey, const ServiceKeys& key, bool sandbox) {
    return requestClaims({{"pairingKey", pairingKey},
                          {"mobileDevice", {{"publicKey", key.publicKeyBase64()}}},
                          {"installedApplication", {{"pushToken", "00ab10ff"}}}},
                         sandbox);
}

json RunningService::replyClaims(const HttpReply& reply) {
    EXPECT_EQ(reply.transportError, "");
    EXPECT_EQ(reply.headers.count("correlation-id"), 1u);
    const auto token = decodeToken(reply.body, serverPublicKey_);
    EXPECT_TRUE(token && token->signatureValid)
        << "reply is not a token signed by the service: " << reply.body;
    return token ? token->claims : json();
}

json RunningService::expectRefusal(const HttpReply& reply, long status, const std::string& code,
                                   const std::string& target, const std::string& detailCode) {
    EXPECT_EQ(reply.status, status) << reply.body;
    const auto claims = replyClaims(reply);
    EXPECT_EQ(claims.value("code", ""), code) << claims.dump();
    const auto id = reply.headers.find("correlation-id");
    EXPECT_EQ(claims.value("id", ""), id == reply.headers.end() ? "" : id->second);
    if (!target.empty()) {
        EXPECT_EQ(claims["details"][0].value("target", ""), target) << claims.dump();
        EXPECT_EQ(claims["details"][0].value("code", ""), detailCode) << claims.dump();
    }
    return claims;
}

PairedDevice RunningService::pair(const ServiceKeys& key, Region region, bool finalize) {
    PairedDevice device;
    device.key = &key;
    device.baseURL = baseURL(region);
    const auto reply = post(device.baseURL + "v1/pairings",
                            makeToken(pairingClaims(pairingKey(regionCode(region)), key), nullptr));
    EXPECT_EQ(reply.status, 201) << reply.body;
    const auto claims = replyClaims(reply);
    device.id = claims["mobileDevice"]["id"];
    device.installedApplicationId = claims["installedApplication"]["id"];
    device.pairingId = claims["id"];
    if (finalize) {
        EXPECT_EQ(post(device.baseURL + "v1/pairings/" + device.pairingId, device.token()).status, 200);
    }
    return device;
}

} // namespace velquor::service::test
