// The protocol as a device speaks it, over real TLS: every request kind, and the refusals that
// tell a client what it got wrong.
#include "ServiceTestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <thread>

namespace velquor::service::test {
namespace {

// Bytes that a naive text parser would mangle: NUL, CR LF, and a dash run.
std::string sampleZip() {
    std::string zip =
        std::string("PK\x03\x04\x14\x00\x00\x00", 8) + std::string("\0\r\n--\r\nvelquorv2.log\xff\xfe", 22);
    for (int i = 0; i < 2000; ++i)
        zip += static_cast<char>(i * 37);
    return zip;
}

class ProtocolTest : public ::testing::Test {
protected:
    // Uploads stop at three sample archives in total.
    RunningService running{{.stateDirectory = {}, .maxUploadBytes = 3 * sampleZip().size()}};

    HttpReply upload(const PairedDevice& device, const std::string& supportId, const std::string& digest,
                     const std::string& body = multipartBody(sampleZip())) {
        return running.upload(device, device.payloadToken({{"sha256", digest}, {"supportId", supportId}}),
                              body);
    }
};

TEST_F(ProtocolTest, ServesPairingFinalizeTokenUpdateDeviceInfoPushAnswerAndLogUpload) {
    const auto& key = TestKey::shared(0);
    const auto base = running.baseURL(Region::eu);
    const auto pairingKey = running.pairingKey("EU");
    ASSERT_EQ(pairingKey.substr(0, 2), "02");

    // Pairing: unsigned, verified by the key the reply itself carries.
    const auto paired = running.post(
        base + "v1/pairings", makeToken(RunningService::pairingClaims(pairingKey, key, true), nullptr));
    ASSERT_EQ(paired.status, 201) << paired.body;
    const auto pairing =
        decodeToken(paired.body, decodeToken(paired.body, "")->claims.value("serverPublicKey", ""));
    ASSERT_TRUE(pairing && pairing->signatureValid);
    EXPECT_EQ(pairing->claims["serverPublicKey"], running.serverPublicKey());
    EXPECT_EQ(pairing->claims["status"], "PENDING_ACK");
    EXPECT_EQ(pairing->claims["mobileDevice"]["marketingName"], "iPhone12,1");
    const PairedDevice device{&key, pairing->claims["mobileDevice"]["id"],
                              pairing->claims["installedApplication"]["id"], pairing->claims["id"], base};
    auto listed =
        json::parse(R"({"region": "EU", "pushToken": "00ab10ff", "sandbox": true, "finalized": false})");
    listed.update({{"id", device.id}, {"installedApplicationId", device.installedApplicationId}});
    EXPECT_EQ(running.adminGet("state")["devices"], json::array({listed}));

    const auto finalized = running.post(base + "v1/pairings/" + device.pairingId, device.token());
    EXPECT_EQ(finalized.status, 200);
    EXPECT_EQ(running.replyClaims(finalized), json({{"id", device.pairingId}, {"status", "COMPLETED"}}));

    const auto updated =
        running.post(base + "v1/installedApplications/" + device.installedApplicationId + "/updatePushToken",
                     device.token({{"token", "beef01"}}));
    EXPECT_EQ(updated.status, 200) << updated.body;
    // Finalized; paired in the sandbox, the token update (pushSandbox false) moves it to production.
    listed.update({{"pushToken", "beef01"}, {"sandbox", false}, {"finalized", true}});
    EXPECT_EQ(running.adminGet("state")["devices"], json::array({listed}));

    auto info = running.replyClaims(running.post(base + "v1/deviceInfo", device.token()));
    ASSERT_EQ(info["devices"].size(), 1u);
    const auto record = info["devices"][0];
    auto expected = json::parse(R"({"marketingName": "iPhone12,1", "region": "EU", "pushToken": "beef01"})");
    expected.update({{"id", device.id}, {"createdAt", record["createdAt"]}});
    EXPECT_EQ(info["public"], expected);
    EXPECT_TRUE(record["status"].is_string() && record["createdAt"].is_number_integer() &&
                record["updatedAt"].is_number_integer() && record["environment"]["id"].is_string() &&
                record["user"]["id"].is_string() && !record.contains("logs"));
    EXPECT_EQ(record["id"], device.id);
    EXPECT_EQ(record["application"]["id"], device.installedApplicationId);

    // A log request is listed until an upload clears it.
    const auto opened = running.adminPost("devices/" + device.id + "/log-requests", {{"level", "INFO"}});
    info = running.replyClaims(running.post(base + "v1/deviceInfo", device.token()));
    expected = {{"status", "PENDING"}, {"level", "INFO"}, {"supportID", opened["supportID"]}};
    expected["receivedAt"] = opened["receivedAt"];
    EXPECT_EQ(info["devices"][0]["logs"], expected);

    // An authentication (45 seconds unless told otherwise): the push payload names the check address;
    // the state has null for what is not yet known; the device approves, not from the banner.
    const auto created = running.adminPost("devices/" + device.id + "/authentications", json::object());
    const auto id = created["authenticationId"].get<std::string>();
    const auto href = base + "v1/push/check?authenticationId=" + id;
    EXPECT_EQ(json::parse(base64StandardDecode(created["userInfo"]["Velquor"]).value_or("null")),
              json({{"type", "AUTHENTICATION"},
                    {"timeout", {{"duration", 45}}},
                    {"_links", {{"push.check", {{"href", href}, {"content-type", "application/jwt"}}}}}}));
    EXPECT_EQ(running.adminGet("authentications/" + id),
              json({{"status", "PENDING"}, {"method", nullptr}, {"isBanner", nullptr}, {"answer", nullptr}}));
    auto pending = json::parse(R"([{"status": "PENDING", "method": null, "isBanner": null}])");
    pending[0].update({{"id", id}, {"deviceId", device.id}});
    EXPECT_EQ(running.adminGet("state")["authentications"], pending);
    const auto answer = device.claims({{"action", "APPROVE"}, {"isBanner", false}, {"method", "FACE_ID"}});
    EXPECT_EQ(running.post(href + "&bundleId=com.example.host", makeToken(answer, &key, device.id)).status,
              200);
    EXPECT_EQ(running.adminGet("authentications/" + id),
              json({{"status", "APPROVED"}, {"method", "FACE_ID"}, {"isBanner", false}, {"answer", answer}}));

    // The log upload: the archive arrives byte for byte and clears the log request.
    const auto zip = sampleZip();
    const auto uploaded = upload(device, "709551616", sha256Hex(zip));
    EXPECT_EQ(uploaded.status, 201) << uploaded.body;
    EXPECT_EQ(running.replyClaims(uploaded), json({{"supportId", "709551616"}}));
    const auto archive = running.adminRaw("GET", "uploads/709551616");
    EXPECT_EQ(archive.headers.at("content-type"), "application/zip");
    EXPECT_EQ(archive.body, zip);
    EXPECT_EQ(running.adminGet("state")["uploads"], json::array({{{"supportId", "709551616"},
                                                                  {"deviceId", device.id},
                                                                  {"sha256", sha256Hex(zip)},
                                                                  {"size", zip.size()}}}));
    info = running.replyClaims(running.post(base + "v1/deviceInfo", device.token()));
    EXPECT_FALSE(info["devices"][0].contains("logs"));
}

TEST_F(ProtocolTest, PairingTheSameKeyPairAgainCreatesANewDeviceAndKeepsTheOld) {
    const auto& key = TestKey::shared(0);
    const auto first = running.pair(key, Region::au);
    const auto url = first.baseURL + "v1/pairings";
    // A paired device signs its new pairing with its key and names its old id in "kid".
    const auto again = running.post(
        url, makeToken(RunningService::pairingClaims(running.pairingKey("AU"), key), &key, first.id));
    ASSERT_EQ(again.status, 201) << again.body;
    const auto reply = running.replyClaims(again);
    EXPECT_NE(reply["mobileDevice"]["id"], first.id);
    EXPECT_NE(reply["installedApplication"]["id"], first.installedApplicationId);
    EXPECT_EQ(running.adminGet("state")["devices"].size(), 2u);
    EXPECT_EQ(running.post(first.baseURL + "v1/deviceInfo", first.token()).status, 200);

    // Signed, but not by the key the request carries.
    const auto forged = makeToken(RunningService::pairingClaims(running.pairingKey("AU"), key),
                                  &TestKey::shared(1), first.id);
    running.expectRefusal(running.post(url, forged), 401, "UNAUTHORIZED", "signature", "SIGNATURE_INVALID");
}

TEST_F(ProtocolTest, RefusesPairingKeysThatAreUsedUnknownOrFromAnotherRegion) {
    const auto eu = running.baseURL(Region::eu) + "v1/pairings";
    const auto pair = [&](const std::string& url, const std::string& pairingKey, int key = 0) {
        return running.post(
            url, makeToken(RunningService::pairingClaims(pairingKey, TestKey::shared(key)), nullptr));
    };
    const auto used = running.pairingKey("EU");
    EXPECT_EQ(pair(eu, used).status, 201);
    // A fresh device presenting the used key.
    running.expectRefusal(pair(eu, used, 1), 400, "INVALID_DATA", "pairingKey", "PAIRING_KEY_USED");

    const auto europeanKey = running.pairingKey("EU");
    const auto refused = running.expectRefusal(pair(running.baseURL(Region::na) + "v1/pairings", europeanKey),
                                               400, "INVALID_DATA", "pairingKey", "PAIRING_KEY_WRONG_REGION");
    EXPECT_EQ(refused["details"][0]["innerError"], json({{"expected", "EU"}, {"actual", "NA"}}));
    // The refusal did not use the key up.
    EXPECT_EQ(pair(eu, europeanKey).status, 201);
    running.expectRefusal(pair(eu, "0299999999999999"), 400, "INVALID_DATA", "pairingKey",
                          "PAIRING_KEY_NOT_FOUND");
    EXPECT_EQ(running.adminGet("state")["devices"].size(), 2u);
}

TEST_F(ProtocolTest, OneKeyPairsExactlyOneOfManyConcurrentDevices) {
    const auto pairingKey = running.pairingKey("NA");
    const auto url = running.baseURL(Region::na) + "v1/pairings";
    std::vector<long> statuses(6);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < statuses.size(); ++i)
        threads.emplace_back([&, i] {
            HttpsClient client(running.service().caCertificatePath());
            const auto claims = RunningService::pairingClaims(pairingKey, TestKey::shared(int(i % 2)));
            statuses[i] = client.postJwt(url, makeToken(claims, nullptr)).status;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 201), 1);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 400), 5);
    EXPECT_EQ(running.adminGet("state")["devices"].size(), 1u);
}

TEST_F(ProtocolTest, AnswersAnAuthenticationOnceOnlyFromItsDeviceAndOnlyInTime) {
    const auto device = running.pair(TestKey::shared(0));
    const auto other = running.pair(TestKey::shared(1));
    const auto pendingId = running.authenticate(device, {{"timeoutSeconds", 60}});
    const auto pending = device.checkURL(pendingId);
    const auto expired = running.authenticate(device, {{"timeoutSeconds", 0}});
    const auto approve = json{{"action", "APPROVE"}};
    running.expectRefusal(running.post(pending, other.token(approve)), 403, "FORBIDDEN", "authenticationId",
                          "FORBIDDEN");
    running.expectRefusal(running.post(pending, device.token({{"action", "MAYBE"}})), 400, "INVALID_DATA",
                          "action", "ACTION_INVALID");
    // The answer is kept exactly as sent: "isBanner" absent, "method" null.
    const auto deny = device.claims({{"action", "DENY"}, {"method", nullptr}});
    EXPECT_EQ(running.post(pending, makeToken(deny, device.key, device.id)).status, 200);
    EXPECT_EQ(running.adminGet("authentications/" + pendingId)["answer"], deny);
    running.expectRefusal(running.post(pending, device.token(approve)), 409, "CONFLICT", "authenticationId",
                          "AUTHENTICATION_ALREADY_ANSWERED");
    const auto late = running.expectRefusal(running.post(device.checkURL(expired), device.token(approve)),
                                            410, "PUSH_CONFIRMATION_FAILED");
    EXPECT_EQ(late["details"][0]["innerError"]["actual"], "PUSH_CONFIRMATION_TIMED_OUT");
    EXPECT_EQ(running.adminGet("authentications/" + expired)["status"], "EXPIRED");
    running.expectRefusal(running.post(device.checkURL("unknown"), device.token(approve)), 404, "NOT_FOUND");
    running.expectRefusal(
        running.post(device.baseURL + "v1/push/check?bundleId=com.example.host", device.token(approve)), 400,
        "INVALID_DATA", "authenticationId", "AUTHENTICATION_ID_MISSING");
}

TEST_F(ProtocolTest, RefusesLogUploadsThatDoNotMatchTheirToken) {
    const auto device = running.pair(TestKey::shared(0));
    const auto digest = sha256Hex(sampleZip());
    const auto body = multipartBody(sampleZip());
    running.expectRefusal(upload(device, "12", sha256Hex("other bytes")), 400, "INVALID_DATA", "sha256",
                          "DIGEST_MISMATCH");
    running.expectRefusal(upload(device, "0012", digest), 400, "INVALID_DATA", "supportId",
                          "SUPPORT_ID_INVALID");
    const auto twoParts = "--b\r\nContent-Disposition: form-data; name=\"other\"\r\n\r\nx\r\n" + body;
    running.expectRefusal(upload(device, "12", digest, twoParts), 400, "INVALID_DATA", "log-file",
                          "LOG_FILE_INVALID");
    running.expectRefusal(upload(device, "12", digest, body.substr(0, 300)), 400, "INVALID_REQUEST");
    running.expectRefusal(
        running.client().request("POST", device.baseURL + "v1/logs",
                                 {"content-type: multipart/form-data; boundary=b", "Accept: application/jwt"},
                                 body),
        401, "UNAUTHORIZED", "Marvis-Mobile-Logs", "TOKEN_MISSING");
    running.expectRefusal(
        running.client().request("POST", device.baseURL + "v1/logs",
                                 {"content-type: application/jwt", "Accept: application/jwt",
                                  "Marvis-Mobile-Logs: " + device.token()},
                                 "x"),
        415, "UNSUPPORTED_MEDIA_TYPE");
    EXPECT_TRUE(running.adminGet("state")["uploads"].empty());

    // Whitespace after ";" in the content type is tolerated; a taken support id is not.
    EXPECT_EQ(upload(device, "12", digest).status, 201);
    running.expectRefusal(upload(device, "12", digest), 409, "CONFLICT", "supportId", "SUPPORT_ID_TAKEN");
    EXPECT_EQ(upload(device, "13", digest).status, 201);
    EXPECT_EQ(upload(device, "14", digest).status, 201);
    running.expectRefusal(upload(device, "15", digest), 413, "PAYLOAD_TOO_LARGE");
    EXPECT_EQ(running.adminGet("state")["uploads"].size(), 3u);
}

// Malformed, replayed, unsigned or misdirected requests, and requests signed by the wrong device.
TEST_F(ProtocolTest, RefusesWrongRequestsWithASignedErrorAndKeepsServing) {
    const auto device = running.pair(TestKey::shared(0));
    const auto other = running.pair(TestKey::shared(1));
    const auto url = device.baseURL + "v1/deviceInfo";
    struct Case {
        const char* name;
        std::string method, url, contentType, accept, body;
        long status;
        std::string code, target = {}, detail = {};
    };
    const std::string header = base64Url(R"({"alg":"RS256","typ":"JWT","kid":")" + device.id + "\"}");
    const std::string jwt = "application/jwt", token = device.token();
    const auto root = "https://127.0.0.1:" + std::to_string(running.service().port()) + "/";
    EXPECT_EQ(running.post(url, token).status, 200);
    const std::vector<Case> cases{
        {"replayed", "POST", url, jwt, jwt, token, 401, "UNAUTHORIZED", "jti", "TOKEN_REPLAYED"},
        {"signed for another device", "POST", url, jwt, jwt, makeToken(other.claims(), device.key, other.id),
         401, "UNAUTHORIZED", "signature", "SIGNATURE_INVALID"},
        {"unsigned", "POST", url, jwt, jwt, makeToken(device.claims(), nullptr, device.id), 401,
         "UNAUTHORIZED", "alg", "SIGNATURE_REQUIRED"},
        {"paired in another region", "POST", running.baseURL(Region::na) + "v1/deviceInfo", jwt, jwt,
         device.token(), 401, "UNAUTHORIZED", "kid", "UNKNOWN_DEVICE"},
        {"another device's pairing", "POST", device.baseURL + "v1/pairings/" + other.pairingId, jwt, jwt,
         device.token(), 404, "NOT_FOUND", "pairingId", "NOT_FOUND"},
        {"another application's token", "POST",
         device.baseURL + "v1/installedApplications/" + other.installedApplicationId + "/updatePushToken",
         jwt, jwt, device.token({{"token", "aa"}}), 403, "FORBIDDEN", "installedApplicationId", "FORBIDDEN"},
        {"text content type", "POST", url, "text/plain", jwt, token, 415, "UNSUPPORTED_MEDIA_TYPE"},
        {"no content type", "POST", url, "", jwt, token, 415, "UNSUPPORTED_MEDIA_TYPE"},
        {"html accepted only", "POST", url, jwt, "text/html", token, 406, "NOT_ACCEPTABLE"},
        {"not a token", "POST", url, jwt, jwt, "hello", 400, "INVALID_DATA"},
        {"four segments", "POST", url, jwt, jwt, token + ".x", 400, "INVALID_DATA"},
        {"header not JSON", "POST", url, jwt, jwt, base64Url("{\"alg\":") + "." + base64Url("{}") + ".", 400,
         "INVALID_DATA"},
        {"payload an array", "POST", url, jwt, jwt, header + "." + base64Url("[1,2]") + ".", 400,
         "INVALID_DATA"},
        {"padded segment", "POST", url, jwt, jwt, header + "=." + base64Url("{}") + ".", 400, "INVALID_DATA"},
        {"not UTF-8", "POST", url, jwt, jwt, header + "." + base64Url("{\"a\":\"\xff\xfe\"}") + ".", 400,
         "INVALID_DATA"},
        {"empty body", "POST", url, jwt, jwt, "", 400, "INVALID_DATA"},
        {"over 8 MiB", "POST", url, jwt, jwt, std::string(8 * 1024 * 1024 + 1, 'a'), 413,
         "PAYLOAD_TOO_LARGE"},
        {"unknown request", "POST", device.baseURL + "v1/unknown", jwt, jwt, token, 404, "NOT_FOUND"},
        {"unknown region", "POST", root + "xx/v1/pairings", jwt, jwt, "x", 404, "NOT_FOUND"},
        {"GET", "GET", url, jwt, jwt, "", 405, "METHOD_NOT_ALLOWED"},
        {"PUT", "PUT", url, jwt, jwt, token, 405, "METHOD_NOT_ALLOWED"},
        {"DELETE", "DELETE", device.baseURL + "v1/pairings", jwt, jwt, "", 405, "METHOD_NOT_ALLOWED"},
        {"PATCH", "PATCH", url, jwt, jwt, token, 405, "METHOD_NOT_ALLOWED"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto reply = running.client().request(
            c.method, c.url, {"content-type: " + c.contentType, "Accept: " + c.accept}, c.body);
        running.expectRefusal(reply, c.status, c.code, c.target, c.detail);
    }
    EXPECT_EQ(running.post(url, device.token()).status, 200);
}

// Requests as a wrong client builds them, each refused with its status and the member it got
// wrong, next to the same requests built correctly (the library's claim sets, by hand), accepted.
enum class Kind { pairing, deviceInfo, pushCheck, logs };

// One request with one mistake: `where` is "" (none), "query" (the text appended to the address),
// "header.NAME" or a dotted claim path; a null `value` removes the member.
struct Case {
    std::string name;
    Kind kind;
    std::string where;
    json value;
    long status;
    std::string target, detail; // empty: accepted
};

void change(json& node, std::string path, const json& value) {
    std::replace(path.begin(), path.end(), '.', '/');
    const json::json_pointer pointer("/" + path);
    if (value.is_null())
        node[pointer.parent_pointer()].erase(pointer.back());
    else
        node[pointer] = value;
}

class WrongClientTest : public ProtocolTest {
protected:
    PairedDevice device = running.pair(TestKey::shared(0));
    int uploads = 0;

    HttpReply send(const Case& c) {
        json header{{"typ", "JWT"}, {"kid", device.id}};
        json claims = device.claims();
        std::string path = "v1/deviceInfo", query;
        if (c.kind == Kind::pairing) {
            header.erase("kid");
            claims = RunningService::pairingClaims(running.pairingKey("EU"), *device.key);
            path = "v1/pairings";
        } else if (c.kind == Kind::pushCheck) {
            path = "v1/push/check?authenticationId=" + running.authenticate(device);
            query = "&bundleId=com.example.host";
            claims["action"] = "APPROVE";
        } else if (c.kind == Kind::logs) {
            claims.erase("metadata"); // the payload claim set of a paired device
            claims.update({{"sha256", sha256Hex("zip")}, {"supportId", std::to_string(++uploads)}});
            path = "v1/logs";
        }
        if (c.where == "query")
            query = c.value;
        else if (c.where.rfind("header.", 0) == 0)
            change(header, c.where.substr(7), c.value);
        else if (!c.where.empty())
            change(claims, c.where, c.value);
        const auto token =
            makeTokenWithHeader(header, claims, c.kind == Kind::pairing ? nullptr : device.key);
        if (c.kind == Kind::logs)
            return running.upload(device, token, multipartBody("zip"));
        return running.post(device.baseURL + path + query, token);
    }

    void expect(const std::vector<Case>& cases) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            const auto reply = send(c);
            if (c.target.empty()) {
                EXPECT_EQ(reply.status, c.status) << reply.body;
                running.replyClaims(reply);
            } else
                running.expectRefusal(reply, c.status, c.status == 400 ? "INVALID_DATA" : "UNAUTHORIZED",
                                      c.target, c.detail);
        }
    }
};

TEST_F(WrongClientTest, RefusesWrongTokensAndClaimSetsAndAcceptsCorrectOnes) {
    const auto inMilliseconds = (nowSeconds() + 120) * 1000;
    const json unpaired{{"application", {{"bundleId", "com.example.host"}}}};
    const auto bundle = std::string("&bundleId=com.example.host");
    // A 2048-bit SubjectPublicKeyInfo is a 24-byte header before the bare RSAPublicKey.
    const auto pkcs1 = ServiceBase64::encode(base64StandardDecode(device.key->publicKeyBase64())->substr(24));
    expect({
        {"correct pairing", Kind::pairing, "", {}, 201, "", ""},
        {"correct device info", Kind::deviceInfo, "", {}, 200, "", ""},
        {"correct push check", Kind::pushCheck, "", {}, 200, "", ""},
        {"correct log upload", Kind::logs, "", {}, 201, "", ""},
        {"unpaired payload claims", Kind::logs, "metadata", unpaired, 201, "", ""},
        {"empty device name", Kind::deviceInfo, "metadata.name", "", 200, "", ""},
        {"empty locale", Kind::deviceInfo, "metadata.locale", "", 200, "", ""},
        {"expired", Kind::deviceInfo, "exp", nowSeconds() - 5, 401, "exp", "TOKEN_EXPIRED"},
        {"exp a text", Kind::deviceInfo, "exp", "soon", 401, "exp", "EXPIRATION_INVALID"},
        {"kid unknown", Kind::deviceInfo, "header.kid", "no-such-device", 401, "kid", "UNKNOWN_DEVICE"},
        {"kid missing", Kind::deviceInfo, "header.kid", nullptr, 401, "kid", "KEY_ID_MISSING"},
        {"dvc of another", Kind::deviceInfo, "dvc", "other-device", 401, "dvc", "DEVICE_MISMATCH"},
        {"iss of another", Kind::deviceInfo, "iss", "other-app", 401, "iss", "ISSUER_MISMATCH"},
        {"exp in milliseconds", Kind::deviceInfo, "exp", inMilliseconds, 400, "exp", "EXPIRATION_TOO_FAR"},
        {"exp in milliseconds, pairing", Kind::pairing, "exp", inMilliseconds, 400, "exp",
         "EXPIRATION_TOO_FAR"},
        {"pairing without exp", Kind::pairing, "exp", nullptr, 400, "exp", "EXPIRATION_MISSING"},
        {"pairing without jti", Kind::pairing, "jti", nullptr, 400, "jti", "TOKEN_ID_MISSING"},
        {"no typ", Kind::deviceInfo, "header.typ", nullptr, 400, "typ", "TYPE_INVALID"},
        {"typ in lower case", Kind::pairing, "header.typ", "jwt", 400, "typ", "TYPE_INVALID"},
        {"no metadata", Kind::deviceInfo, "metadata", nullptr, 400, "metadata", "CLAIM_MISSING"},
        {"no fnp", Kind::pushCheck, "fnp", nullptr, 400, "fnp", "CLAIM_MISSING"},
        {"pairing without metadata", Kind::pairing, "metadata", nullptr, 400, "metadata", "CLAIM_MISSING"},
        {"payload claims in a request", Kind::deviceInfo, "metadata", unpaired, 400, "metadata.os",
         "DEVICE_DATA_MISSING"},
        {"request claims on a log upload", Kind::logs, "metadata", deviceData(), 400, "metadata",
         "CLAIM_SET_INVALID"},
        {"log upload without fnp", Kind::logs, "fnp", nullptr, 400, "fnp", "CLAIM_MISSING"},
        {"bare PKCS#1 device key", Kind::pairing, "mobileDevice.publicKey", pkcs1, 400, "publicKey",
         "PUBLIC_KEY_INVALID"},
        {"device key not Base64", Kind::pairing, "mobileDevice.publicKey", "not base64!", 400, "publicKey",
         "PUBLIC_KEY_INVALID"},
        {"no pairing key", Kind::pairing, "pairingKey", nullptr, 400, "pairingKey", "PAIRING_KEY_MISSING"},
        {"no bundleId", Kind::pushCheck, "query", "", 400, "bundleId", "BUNDLE_ID_MISSING"},
        {"bundleId twice", Kind::pushCheck, "query", bundle + bundle, 400, "bundleId", "BUNDLE_ID_REPEATED"},
        {"other bundleId", Kind::pushCheck, "query", "&bundleId=x", 400, "bundleId", "BUNDLE_ID_MISMATCH"},
        {"query on device info", Kind::deviceInfo, "query", "?bundleId=x", 400, "bundleId",
         "QUERY_UNEXPECTED"},
        {"query on pairing", Kind::pairing, "query", "?x=1", 400, "x", "QUERY_UNEXPECTED"},
    });
}

TEST_F(WrongClientTest, RefusesDeviceDataOutsideItsDescription) {
    std::vector<Case> cases;
    std::istringstream paths(
        "os os.version os.type model model.name model.marketingName name manufacturer "
        "apiVersion sdkVersion rooted lockEnabled locale networkType networksInfo application "
        "application.bundleId application.version application.name application.pushSandbox "
        "permissions permissions.camera permissions.location permissions.push "
        "permissions.silentPush");
    for (std::string path; paths >> path;) {
        const std::string target = std::string("metadata.") + path;
        cases.push_back({target, Kind::deviceInfo, target, nullptr, 400, target, "DEVICE_DATA_MISSING"});
        cases.push_back({target, Kind::deviceInfo, target, 7, 400, target, "DEVICE_DATA_INVALID"});
    }
    for (const auto& [path, value] :
         std::vector<std::pair<std::string, json>>{{"os.type", "ANDROID"},
                                                   {"manufacturer", "Google"},
                                                   {"apiVersion", "v2"},
                                                   {"rooted", true},
                                                   {"lockEnabled", true},
                                                   {"lockEnabled", "yes"},
                                                   {"networkType", "5G"},
                                                   {"permissions.camera", "granted"},
                                                   {"permissions.location", "authorized"},
                                                   {"permissions.push", "provisional"},
                                                   {"permissions.silentPush", "authorized"}}) {
        const std::string target = "metadata." + path;
        cases.push_back(
            {target + value.dump(), Kind::deviceInfo, target, value, 400, target, "DEVICE_DATA_INVALID"});
    }
    for (const char* path : {"metadata.extra", "metadata.application.extra"})
        cases.push_back({path, Kind::deviceInfo, path, 1, 400, path, "DEVICE_DATA_UNEXPECTED"});
    expect(cases);
}

} // namespace
} // namespace velquor::service::test
