#include "ServiceTestSupport.hpp"

#include "RandomIds.hpp"

#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>

#include <cstdlib>

namespace velquor::service::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velquor-service-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary directory");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

namespace {

size_t collectBody(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

size_t collectHeader(char* data, size_t size, size_t count, void* target) {
    std::string line(data, size * count);
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r\n") + 1);
        (*static_cast<std::map<std::string, std::string>*>(target))[name] = value;
    }
    return size * count;
}

} // namespace

HttpReply HttpsClient::request(const std::string& method, const std::string& url,
                               const std::vector<std::string>& headers, const std::string& body) {
    HttpReply reply;
    curl_easy_reset(curl_);
    curl_slist* list = curl_slist_append(nullptr, "Expect:");
    for (const auto& header : headers)
        list = curl_slist_append(list, header.c_str());
    curl_slist* resolve = nullptr;
    for (const auto& entry : resolve_)
        resolve = curl_slist_append(resolve, entry.c_str());
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_CAINFO, caFile_.c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl_, CURLOPT_RESOLVE, resolve);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (method == "POST" || !body.empty()) {
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &reply.headers);
    reply.code = curl_easy_perform(curl_);
    curl_slist_free_all(list);
    curl_slist_free_all(resolve);
    if (reply.code != CURLE_OK)
        reply.transportError = curl_easy_strerror(reply.code);
    else
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &reply.status);
    return reply;
}

const TestKey& TestKey::shared(int index) {
    static std::mutex mutex;
    static std::map<int, TestKey> keys;
    std::lock_guard lock(mutex);
    auto& key = keys[index];
    std::string error;
    if (!key.key_)
        key.key_ = ServiceKeys::generate(2048, error);
    return key;
}

std::optional<std::string> base64StandardDecode(const std::string& text) {
    std::string out(text.size(), '\0');
    const int length =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    const size_t padding = text.size() - text.find_last_not_of('=') - 1;
    if (length < 0 || padding > 2 || text.size() % 4 != 0)
        return std::nullopt;
    out.resize(static_cast<size_t>(length) - padding);
    // Only the canonical text of its bytes: no whitespace, no stray bits, padding as required.
    return ServiceBase64::encode(out) == text ? std::optional(out) : std::nullopt;
}

namespace {

std::optional<std::string> base64UrlDecode(std::string text) {
    std::replace(text.begin(), text.end(), '-', '+');
    std::replace(text.begin(), text.end(), '_', '/');
    text.resize((text.size() + 3) / 4 * 4, '=');
    return base64StandardDecode(text);
}

} // namespace

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[32];
    EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, EVP_sha256(), nullptr);
    std::string hex(64, '\0');
    for (size_t i = 0; i < 32; ++i)
        std::snprintf(hex.data() + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

std::string makeToken(const json& claims, const TestKey* key, const std::optional<std::string>& kid) {
    json header{{"typ", "JWT"}};
    if (kid)
        header["kid"] = *kid;
    return makeTokenWithHeader(std::move(header), claims, key);
}

std::string makeTokenWithHeader(json header, const json& claims, const TestKey* key) {
    header["alg"] = key ? "RS256" : "none";
    const std::string input = base64Url(header.dump()) + "." + base64Url(claims.dump());
    return input + "." + (key ? base64Url(key->sign(input)) : std::string());
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
    const auto first = compact.find('.');
    const auto second = compact.find('.', first == std::string::npos ? first : first + 1);
    if (second == std::string::npos)
        return std::nullopt;
    const auto header = base64UrlDecode(compact.substr(0, first));
    const auto claims = base64UrlDecode(compact.substr(first + 1, second - first - 1));
    const auto signature = base64UrlDecode(compact.substr(second + 1));
    if (!header || !claims || !signature)
        return std::nullopt;
    DecodedToken token{json::parse(*header, nullptr, false), json::parse(*claims, nullptr, false)};
    if (token.header.is_discarded() || token.claims.is_discarded())
        return std::nullopt;
    const auto der = base64StandardDecode(serverPublicKey).value_or("");
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(d2i_PUBKEY(nullptr, &cursor, long(der.size())),
                                                            EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    const std::string input = compact.substr(0, second);
    token.signatureValid =
        key && token.header.value("alg", "") == "RS256" &&
        EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
        EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature->data()),
                         signature->size(), reinterpret_cast<const unsigned char*>(input.data()),
                         input.size()) == 1;
    return token;
}

json PairedDevice::claims(const json& extra) const {
    json claims{{"iss", installedApplicationId},
                {"dvc", id},
                {"jti", RandomIds::uuid()},
                {"exp", nowSeconds() + 120},
                {"fnp", "5B1F2A9C-0000-4000-8000-000000000001"},
                {"metadata", deviceData()}};
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
    stateDirectory_ = options.stateDirectory;
    service_ = std::make_unique<ReferenceService>(std::move(options));
    if (const auto error = service_->start())
        throw std::runtime_error("the service did not start: " + *error);
    client_ = std::make_unique<HttpsClient>(service_->caCertificatePath());
    std::string error;
    const auto key = ServiceKeys::fromPrivatePem(readFile(stateDirectory_ / "service-key.pem"), error);
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

json RunningService::pairingClaims(const std::string& pairingKey, const TestKey& key, bool sandbox) {
    return {{"pairingKey", pairingKey},
            {"mobileDevice", {{"publicKey", key.publicKeyBase64()}}},
            {"installedApplication", {{"pushToken", "00ab10ff"}}},
            {"fnp", "5B1F2A9C-0000-4000-8000-000000000001"},
            {"jti", RandomIds::uuid()},
            {"exp", nowSeconds() + 120},
            {"metadata", deviceData(sandbox)}};
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

PairedDevice RunningService::pair(const TestKey& key, Region region, bool finalize) {
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
