#include "ServiceTestSupport.hpp"

#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

namespace velquor::service::test {

TempDir::TempDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("velquor-service-test-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
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

HttpsClient::HttpsClient(std::filesystem::path caFile)
    : caFile_(std::move(caFile))
    , curl_(curl_easy_init()) {}

HttpsClient::~HttpsClient() {
    curl_easy_cleanup(curl_);
}

HttpReply HttpsClient::request(const std::string& method, const std::string& url,
                               const std::vector<std::string>& headers, const std::string& body) {
    HttpReply reply;
    curl_easy_reset(curl_);
    curl_slist* list = nullptr;
    for (const auto& header : headers)
        list = curl_slist_append(list, header.c_str());
    list = curl_slist_append(list, "Expect:");
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_CAINFO, caFile_.c_str());
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list);
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
    curl_slist* resolve = nullptr;
    for (const auto& entry : resolve_)
        resolve = curl_slist_append(resolve, entry.c_str());
    curl_easy_setopt(curl_, CURLOPT_RESOLVE, resolve);
    reply.code = curl_easy_perform(curl_);
    curl_slist_free_all(list);
    curl_slist_free_all(resolve);
    if (reply.code != CURLE_OK)
        reply.transportError = curl_easy_strerror(reply.code);
    else
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &reply.status);
    return reply;
}

HttpReply HttpsClient::postJwt(const std::string& url, const std::string& token) {
    return request("POST", url, {"content-type: application/jwt", "Accept: application/jwt"}, token);
}

const TestKey& TestKey::shared(int index) {
    static std::mutex mutex;
    static std::map<int, TestKey> keys;
    std::lock_guard lock(mutex);
    auto it = keys.find(index);
    if (it == keys.end())
        it = keys.emplace(index, generate()).first;
    return it->second;
}

TestKey TestKey::generate() {
    TestKey key;
    key.key_.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048}), EVP_PKEY_free);
    return key;
}

std::string TestKey::publicKeyBase64() const {
    unsigned char* der = nullptr;
    const int size = i2d_PUBKEY(key_.get(), &der);
    std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(size));
    OPENSSL_free(der);
    return base64Standard(bytes);
}

std::string TestKey::publicKeyPkcs1Base64() const {
    unsigned char* der = nullptr;
    const int size = i2d_PublicKey(key_.get(), &der);
    std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(size));
    OPENSSL_free(der);
    return base64Standard(bytes);
}

std::string TestKey::sign(const std::string& input) const {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    size_t length = 0;
    EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key_.get());
    EVP_DigestSign(context, nullptr, &length, reinterpret_cast<const unsigned char*>(input.data()),
                   input.size());
    std::string signature(length, '\0');
    EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
                   reinterpret_cast<const unsigned char*>(input.data()), input.size());
    EVP_MD_CTX_free(context);
    signature.resize(length);
    return signature;
}

std::string base64Standard(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(length));
    return out;
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
    return base64Standard(out) == text ? std::optional(out) : std::nullopt;
}

std::string base64Url(const std::string& bytes) {
    std::string text = base64Standard(bytes);
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    text.erase(text.find_last_not_of('=') + 1);
    return text;
}

std::optional<std::string> base64UrlDecode(const std::string& text) {
    std::string standard = text;
    std::replace(standard.begin(), standard.end(), '-', '+');
    std::replace(standard.begin(), standard.end(), '_', '/');
    while (standard.size() % 4)
        standard += '=';
    std::string out(standard.size(), '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(standard.data()),
                                       static_cast<int>(standard.size()));
    if (length < 0)
        return std::nullopt;
    size_t padding = standard.size() - standard.find_last_not_of('=') - 1;
    out.resize(static_cast<size_t>(length) - padding);
    return out;
}

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

std::string newUuid() {
    unsigned char bytes[16];
    RAND_bytes(bytes, sizeof bytes);
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], (bytes[6] & 0x0F) | 0x40,
                  bytes[7], (bytes[8] & 0x3F) | 0x80, bytes[9], bytes[10], bytes[11], bytes[12], bytes[13],
                  bytes[14], bytes[15]);
    return text;
}

long long unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string makeToken(const json& claims, const TestKey* key, const std::optional<std::string>& kid) {
    json header{{"typ", "JWT"}};
    if (kid)
        header["kid"] = *kid;
    return makeTokenWithHeader(std::move(header), claims, key);
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

std::string makeTokenWithHeader(json header, const json& claims, const TestKey* key) {
    header["alg"] = key ? "RS256" : "none";
    const std::string input = base64Url(header.dump()) + "." + base64Url(claims.dump());
    return input + "." + (key ? base64Url(key->sign(input)) : std::string());
}

std::optional<DecodedToken> decodeToken(const std::string& compact, const std::string& serverPublicKey) {
    const auto first = compact.find('.');
    const auto second = compact.find('.', first == std::string::npos ? first : first + 1);
    if (first == std::string::npos || second == std::string::npos)
        return std::nullopt;
    const auto header = base64UrlDecode(compact.substr(0, first));
    const auto claims = base64UrlDecode(compact.substr(first + 1, second - first - 1));
    const auto signature = base64UrlDecode(compact.substr(second + 1));
    if (!header || !claims || !signature)
        return std::nullopt;
    DecodedToken token;
    token.header = json::parse(*header, nullptr, false);
    token.claims = json::parse(*claims, nullptr, false);
    if (token.header.is_discarded() || token.claims.is_discarded())
        return std::nullopt;

    std::string der(serverPublicKey.size(), '\0');
    const int derLength = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                                          reinterpret_cast<const unsigned char*>(serverPublicKey.data()),
                                          static_cast<int>(serverPublicKey.size()));
    if (derLength > 0 && token.header.value("alg", "") == "RS256") {
        const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
        EVP_PKEY* key = d2i_PUBKEY(nullptr, &cursor, derLength);
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        const std::string input = compact.substr(0, second);
        token.signatureValid =
            key && EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
            EVP_DigestVerify(context, reinterpret_cast<const unsigned char*>(signature->data()),
                             signature->size(), reinterpret_cast<const unsigned char*>(input.data()),
                             input.size()) == 1;
        EVP_MD_CTX_free(context);
        EVP_PKEY_free(key);
    }
    return token;
}

json PairedDevice::claims(const json& extra) const {
    json claims{{"iss", installedApplicationId},
                {"dvc", id},
                {"jti", newUuid()},
                {"exp", unixNow() + 120},
                {"fnp", "5B1F2A9C-0000-4000-8000-000000000001"},
                {"metadata", deviceData()}};
    for (const auto& [name, value] : extra.items())
        claims[name] = value;
    return claims;
}

std::string PairedDevice::token(const json& extra) const {
    return makeToken(claims(extra), key, id);
}

std::string PairedDevice::payloadToken(const json& extra) const {
    auto payload = claims(extra);
    payload.erase("metadata");
    return makeToken(payload, key, id);
}

RunningService::RunningService()
    : RunningService(ServiceOptions{}) {}

RunningService::RunningService(const std::filesystem::path& stateDirectory)
    : stateDirectory_(stateDirectory) {
    start({});
}

RunningService::RunningService(ServiceOptions options)
    : temp_(std::make_unique<TempDir>())
    , stateDirectory_(temp_->path() / "state") {
    start(std::move(options));
}

RunningService::~RunningService() {
    stop();
}

void RunningService::start(ServiceOptions options) {
    options.stateDirectory = stateDirectory_;
    service_ = std::make_unique<ReferenceService>(std::move(options));
    const auto error = service_->start();
    if (error)
        throw std::runtime_error("the service did not start: " + *error);
    client_ = std::make_unique<HttpsClient>(service_->caCertificatePath());

    std::ifstream in(stateDirectory_ / "service-key.pem");
    std::stringstream pem;
    pem << in.rdbuf();
    const std::string text = pem.str();
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    unsigned char* der = nullptr;
    const int size = key ? i2d_PUBKEY(key, &der) : 0;
    serverPublicKey_ =
        base64Standard(std::string(reinterpret_cast<char*>(der), static_cast<size_t>(std::max(size, 0))));
    OPENSSL_free(der);
    EVP_PKEY_free(key);
    BIO_free(bio);
}

void RunningService::stop() {
    client_.reset();
    if (service_)
        service_->stop();
    service_.reset();
}

HttpReply RunningService::adminRaw(const std::string& method, const std::string& path,
                                   const std::string& body) {
    return client_->request(method, service_->adminURL() + path, {"content-type: application/json"}, body);
}

json RunningService::adminPost(const std::string& path, const json& body, long expectStatus) {
    const auto reply = adminRaw("POST", path, body.dump());
    EXPECT_EQ(reply.status, expectStatus) << path << ": " << reply.body << reply.transportError;
    return json::parse(reply.body, nullptr, false);
}

json RunningService::adminGet(const std::string& path) {
    const auto reply = adminRaw("GET", path);
    EXPECT_EQ(reply.status, 200) << path << ": " << reply.body << reply.transportError;
    return json::parse(reply.body, nullptr, false);
}

std::string RunningService::pairingKey(const std::string& region) {
    return adminPost("pairing-keys", {{"region", region}}).value("pairingKey", "");
}

json RunningService::pairingClaims(const std::string& pairingKey, const TestKey& key, bool sandbox) {
    return {{"pairingKey", pairingKey},
            {"mobileDevice", {{"publicKey", key.publicKeyBase64()}}},
            {"installedApplication", {{"pushToken", "00ab10ff"}}},
            {"fnp", "5B1F2A9C-0000-4000-8000-000000000001"},
            {"jti", newUuid()},
            {"exp", unixNow() + 120},
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

PairedDevice RunningService::pair(const TestKey& key, Region region, bool finalize) {
    PairedDevice device;
    device.key = &key;
    device.baseURL = baseURL(region);
    const auto pairingKey_ = pairingKey(regionCode(region));
    const auto reply =
        client_->postJwt(device.baseURL + "v1/pairings", makeToken(pairingClaims(pairingKey_, key), nullptr));
    EXPECT_EQ(reply.status, 201) << reply.body;
    const auto claims = replyClaims(reply);
    device.id = claims["mobileDevice"]["id"];
    device.marketingName = claims["mobileDevice"]["marketingName"];
    device.installedApplicationId = claims["installedApplication"]["id"];
    device.pairingId = claims["id"];
    if (finalize) {
        const auto finalized =
            client_->postJwt(device.baseURL + "v1/pairings/" + device.pairingId, device.token());
        EXPECT_EQ(finalized.status, 200) << finalized.body;
    }
    return device;
}

} // namespace velquor::service::test
