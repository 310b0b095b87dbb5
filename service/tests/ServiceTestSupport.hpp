// What the reference-service tests share: a temporary state directory, an in-process service on
// port 0, an HTTPS client on libcurl that verifies against the generated ca.pem, and request
// tokens built by hand with a test-side RSA key (independent of the service's own token code).
#pragma once

#include "ReferenceService.hpp"
#include "ServiceBase64.hpp"
#include "ServiceClock.hpp"
#include "ServiceKeys.hpp"
#include "TestSupport.hpp"

#include <nlohmann/json.hpp>

#include <curl/curl.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velquor::service::test {

using nlohmann::json;
using velquor::test::readFile;
using velquor::test::TempDir;

struct HttpReply {
    long status = 0;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    std::string transportError; // non-empty when no reply arrived
    CURLcode code = CURLE_OK;
};

// One libcurl handle (connections are reused); use from one thread at a time.
class HttpsClient {
public:
    // `resolve`: host names at fixed addresses, "name:port:address" as CURLOPT_RESOLVE takes them.
    explicit HttpsClient(std::filesystem::path caFile, std::vector<std::string> resolve = {})
        : caFile_(std::move(caFile))
        , resolve_(std::move(resolve)) {}

    HttpReply request(const std::string& method, const std::string& url,
                      const std::vector<std::string>& headers, const std::string& body = {});
    HttpReply postJwt(const std::string& url, const std::string& token) {
        return request("POST", url, {"content-type: application/jwt", "Accept: application/jwt"}, token);
    }

private:
    std::filesystem::path caFile_;
    std::vector<std::string> resolve_;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl_{curl_easy_init(), curl_easy_cleanup};
};

// Device key `index` (RSA-2048) of the tests, generated once per process and shared.
const ServiceKeys& testKey(int index);

inline std::string base64Url(const std::string& bytes) {
    return ServiceBase64::encodeURL(bytes);
}
std::string sha256Hex(const std::string& bytes);

// A compact token: `header` with "kid" when given and "alg": signed RS256 when `key` is given,
// else "none".
std::string makeToken(const json& claims, const ServiceKeys* key,
                      const std::optional<std::string>& kid = std::nullopt, json header = {{"typ", "JWT"}});
// The device data a correct client sends under "metadata".
json deviceData(bool sandbox = false);
// A log upload body: one part "log-file" holding `zip`, between boundaries "b".
std::string multipartBody(const std::string& zip);

struct DecodedToken {
    json header;
    json claims;
    bool signatureValid = false; // against the key passed to decodeToken
};
// Reads a reply token as the service's reader does (strict Base64url, JSON objects) and checks its
// RS256 signature with the SPKI Base64 `serverPublicKey`. The library's reader checks the same
// replies apart from the service's code in its own tests.
std::optional<DecodedToken> decodeToken(const std::string& compact, const std::string& serverPublicKey);

// A device paired by hand: the ids the pairing reply gave it and the key it signs with.
struct PairedDevice {
    const ServiceKeys* key = nullptr;
    std::string id;
    std::string installedApplicationId;
    std::string pairingId;
    std::string baseURL;
    // Claims of a signed request: "iss", "dvc", fresh "jti", "exp" in two minutes, "fnp", "metadata".
    json claims(const json& extra = json::object()) const;
    std::string token(const json& extra = json::object()) const { return makeToken(claims(extra), key, id); }
    // A token with the payload claim set of a paired device (no "metadata"), as log uploads carry.
    std::string payloadToken(const json& extra) const;
    // The push check address of an authentication, with the bundle id the device paired with.
    std::string checkURL(const std::string& authenticationId) const {
        return baseURL + "v1/push/check?authenticationId=" + authenticationId + "&bundleId=com.example.host";
    }
};

// A started service in a temporary state directory, with helpers for the admin interface.
class RunningService {
public:
    // Options as given; without a state directory, in a fresh temporary one.
    explicit RunningService(ServiceOptions options = {});

    ReferenceService& service() { return *service_; }
    HttpsClient& client() { return *client_; }
    std::string baseURL(Region region) const { return service_->baseURL(region); }
    // The service key, read from its key file.
    const std::string& serverPublicKey() const { return serverPublicKey_; }

    HttpReply post(const std::string& url, const std::string& token) { return client_->postJwt(url, token); }
    // A log upload with `token` in its header and `body` (see multipartBody).
    HttpReply upload(const PairedDevice& device, const std::string& token, const std::string& body);
    json adminPost(const std::string& path, const json& body); // expects 201
    json adminGet(const std::string& path);
    HttpReply adminRaw(const std::string& method, const std::string& path, const std::string& body = {}) {
        return client_->request(method, service_->adminURL() + path, {"content-type: application/json"},
                                body);
    }
    std::string pairingKey(const std::string& region) {
        return adminPost("pairing-keys", {{"region", region}}).value("pairingKey", "");
    }
    // A new authentication of `device`; its id.
    std::string authenticate(const PairedDevice& device, const json& body = json::object()) {
        return adminPost("devices/" + device.id + "/authentications", body).value("authenticationId", "");
    }

    // The claims of a pairing request (unsigned device data included).
    static json pairingClaims(const std::string& pairingKey, const ServiceKeys& key, bool sandbox = false);
    // Pairs `key` with a fresh key of `region` and finalizes the pairing (asserts on the way).
    PairedDevice pair(const ServiceKeys& key, Region region = Region::eu, bool finalize = true);
    // Reads the claims of a reply, asserting a valid service signature and a correlation id.
    json replyClaims(const HttpReply& reply);
    // Asserts a signed refusal: status, "code", the "id" equal to the correlation id and, when
    // given, the first detail's "target" and "code". Returns its claims.
    json expectRefusal(const HttpReply& reply, long status, const std::string& code,
                       const std::string& target = {}, const std::string& detailCode = {});

private:
    // Destroyed in reverse: the client, the service, then the temporary directory.
    std::unique_ptr<TempDir> temp_;
    std::unique_ptr<ReferenceService> service_;
    std::unique_ptr<HttpsClient> client_;
    std::string serverPublicKey_;
};

} // namespace velquor::service::test
