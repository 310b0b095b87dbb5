// The protocol as a device speaks it, over real TLS: every request kind, and the refusals that
// tell a client what it got wrong.
#include "ServiceTestSupport.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace velquor::service::test {
namespace {

const std::string boundary = "7MA4YWxkTrZu0gW";

std::string multipartBody(const std::string& zip) {
    return "--" + boundary + "\r\n" +
           "Content-Disposition: form-data; name=\"log-file\"; filename=\"velquorv2.zip\"\r\n" +
           "Content-Type: application/zip\r\n\r\n" + zip + "\r\n--" + boundary + "--\r\n";
}

// Bytes that a naive text parser would mangle: NUL, CR LF, and a dash run.
std::string sampleZip() {
    std::string zip("PK\x03\x04\x14\x00\x00\x00", 8);
    zip += std::string("\0\r\n--\r\nvelquorv2.log\xff\xfe", 20);
    for (int i = 0; i < 2000; ++i)
        zip += static_cast<char>(i * 37);
    return zip;
}

// Uploads stop at three sample archives in total.
ServiceOptions withUploadLimit() {
    ServiceOptions options;
    options.maxUploadBytes = 3 * 2028;
    return options;
}

class ProtocolTest : public ::testing::Test {
protected:
    RunningService running{withUploadLimit()};

    HttpReply uploadLogs(const PairedDevice& device, const std::string& zip, const std::string& supportId,
                         const std::string& digest, const std::string& body) {
        const auto token = device.payloadToken({{"sha256", digest}, {"supportId", supportId}});
        return running.client().request("POST", device.baseURL + "v1/logs",
                                        {"content-type: multipart/form-data;  boundary=" + boundary,
                                         "Marvis-Mobile-Logs: " + token, "Accept: application/jwt"},
                                        body.empty() ? multipartBody(zip) : body);
    }

    // Asserts a refusal: the status, a service-signed token holding the error object, a correlation id.
    json expectRefusal(const HttpReply& reply, long status, const std::string& code,
                       const std::string& target = {}, const std::string& detailCode = {}) {
        EXPECT_EQ(reply.status, status) << reply.body;
        EXPECT_EQ(reply.headers.count("correlation-id"), 1u);
        const auto claims = running.replyClaims(reply);
        EXPECT_EQ(claims.value("code", ""), code) << claims.dump();
        EXPECT_EQ(claims.value("id", ""),
                  reply.headers.count("correlation-id") ? reply.headers.at("correlation-id") : "");
        if (!target.empty()) {
            EXPECT_EQ(claims["details"][0].value("target", ""), target) << claims.dump();
            EXPECT_EQ(claims["details"][0].value("code", ""), detailCode) << claims.dump();
        }
        return claims;
    }
};

TEST_F(ProtocolTest, ServesPairingFinalizeTokenUpdateDeviceInfoPushAnswerAndLogUpload) {
    const auto& key = TestKey::shared(0);
    const auto base = running.baseURL(Region::eu);
    const auto pairingKey = running.pairingKey("EU");
    ASSERT_EQ(pairingKey.substr(0, 2), "02");

    // Pairing: unsigned, verified by the key the reply itself carries.
    const auto paired = running.client().postJwt(
        base + "v1/pairings", makeToken(RunningService::pairingClaims(pairingKey, key, true), nullptr));
    ASSERT_EQ(paired.status, 201) << paired.body;
    const auto pairing =
        decodeToken(paired.body, decodeToken(paired.body, "")->claims.value("serverPublicKey", ""));
    ASSERT_TRUE(pairing && pairing->signatureValid);
    EXPECT_EQ(pairing->claims["serverPublicKey"], running.serverPublicKey());
    EXPECT_EQ(pairing->claims["status"], "PENDING_ACK");
    EXPECT_EQ(pairing->claims["mobileDevice"]["marketingName"], "iPhone12,1");
    PairedDevice device{&key,
                        pairing->claims["mobileDevice"]["id"],
                        pairing->claims["installedApplication"]["id"],
                        pairing->claims["id"],
                        "iPhone12,1",
                        base};
    auto state = running.adminGet("state");
    ASSERT_EQ(state["devices"].size(), 1u);
    EXPECT_EQ(state["devices"][0], json({{"id", device.id},
                                         {"region", "EU"},
                                         {"installedApplicationId", device.installedApplicationId},
                                         {"pushToken", "00ab10ff"},
                                         {"sandbox", true},
                                         {"finalized", false}}));

    const auto finalized = running.client().postJwt(base + "v1/pairings/" + device.pairingId, device.token());
    EXPECT_EQ(finalized.status, 200);
    EXPECT_EQ(running.replyClaims(finalized), json({{"id", device.pairingId}, {"status", "COMPLETED"}}));
    EXPECT_EQ(running.adminGet("state")["devices"][0]["finalized"], true);

    const auto updated = running.client().postJwt(base + "v1/installedApplications/" +
                                                      device.installedApplicationId + "/updatePushToken",
                                                  device.token({{"token", "beef01"}}));
    EXPECT_EQ(updated.status, 200) << updated.body;
    EXPECT_EQ(running.adminGet("state")["devices"][0]["pushToken"], "beef01");

    auto info = running.replyClaims(running.client().postJwt(base + "v1/deviceInfo", device.token()));
    EXPECT_EQ(info["public"]["id"], device.id);
    EXPECT_EQ(info["public"]["marketingName"], "iPhone12,1");
    EXPECT_EQ(info["public"]["region"], "EU");
    EXPECT_EQ(info["public"]["pushToken"], "beef01");
    EXPECT_TRUE(info["public"]["createdAt"].is_number_integer());
    ASSERT_EQ(info["devices"].size(), 1u);
    const auto& record = info["devices"][0];
    EXPECT_EQ(record["id"], device.id);
    EXPECT_TRUE(record["status"].is_string());
    EXPECT_TRUE(record["createdAt"].is_number_integer());
    EXPECT_TRUE(record["updatedAt"].is_number_integer());
    for (const char* member : {"environment", "user", "application"})
        EXPECT_TRUE(record[member].is_object() && record[member]["id"].is_string()) << member;
    EXPECT_EQ(record["application"]["id"], device.installedApplicationId);
    EXPECT_FALSE(record.contains("logs"));

    // A log request is listed until an upload clears it.
    const auto opened = running.adminPost("devices/" + device.id + "/log-requests", {{"level", "INFO"}});
    info = running.replyClaims(running.client().postJwt(base + "v1/deviceInfo", device.token()));
    EXPECT_EQ(info["devices"][0]["logs"], json({{"status", "PENDING"},
                                                {"level", "INFO"},
                                                {"supportID", opened["supportID"]},
                                                {"receivedAt", opened["receivedAt"]}}));

    // An authentication: the push payload names the check address; the device approves from the banner.
    const auto created =
        running.adminPost("devices/" + device.id + "/authentications", {{"timeoutSeconds", 60}});
    const auto authenticationId = created["authenticationId"].get<std::string>();
    const auto notification =
        json::parse(base64StandardDecode(created["userInfo"]["Velquor"].get<std::string>()).value_or(""));
    const auto href = base + "v1/push/check?authenticationId=" + authenticationId;
    EXPECT_EQ(notification,
              json({{"type", "AUTHENTICATION"},
                    {"timeout", {{"duration", 60}}},
                    {"_links", {{"push.check", {{"href", href}, {"content-type", "application/jwt"}}}}}}));
    EXPECT_EQ(running.adminGet("authentications/" + authenticationId),
              json({{"status", "PENDING"}, {"method", nullptr}, {"isBanner", nullptr}, {"answer", nullptr}}));
    const auto approved = running.client().postJwt(
        href + "&bundleId=com.example.host",
        device.token({{"action", "APPROVE"}, {"isBanner", true}, {"method", "FACE_ID"}}));
    EXPECT_EQ(approved.status, 200) << approved.body;
    auto answered = running.adminGet("authentications/" + authenticationId);
    EXPECT_EQ(answered["answer"]["method"], "FACE_ID");
    answered.erase("answer");
    EXPECT_EQ(answered, json({{"status", "APPROVED"}, {"method", "FACE_ID"}, {"isBanner", true}}));

    // The log upload: the archive arrives byte for byte and clears the log request.
    const auto zip = sampleZip();
    const auto uploaded = uploadLogs(device, zip, "709551616", sha256Hex(zip), {});
    EXPECT_EQ(uploaded.status, 201) << uploaded.body;
    EXPECT_EQ(running.replyClaims(uploaded), json({{"supportId", "709551616"}}));
    const auto archive = running.adminRaw("GET", "uploads/709551616");
    EXPECT_EQ(archive.status, 200);
    EXPECT_EQ(archive.headers.at("content-type"), "application/zip");
    EXPECT_EQ(archive.body, zip);
    EXPECT_EQ(running.adminGet("state")["uploads"], json::array({{{"supportId", "709551616"},
                                                                  {"deviceId", device.id},
                                                                  {"sha256", sha256Hex(zip)},
                                                                  {"size", zip.size()}}}));
    info = running.replyClaims(running.client().postJwt(base + "v1/deviceInfo", device.token()));
    EXPECT_FALSE(info["devices"][0].contains("logs"));
}

TEST_F(ProtocolTest, PairingTheSameKeyPairAgainCreatesANewDeviceAndKeepsTheOld) {
    const auto& key = TestKey::shared(0);
    const auto first = running.pair(key, Region::au);
    // A paired device signs its new pairing with its key and names its old id in "kid".
    const auto claims = RunningService::pairingClaims(running.pairingKey("AU"), key);
    const auto again =
        running.client().postJwt(first.baseURL + "v1/pairings", makeToken(claims, &key, first.id));
    ASSERT_EQ(again.status, 201) << again.body;
    const auto reply = running.replyClaims(again);
    EXPECT_NE(reply["mobileDevice"]["id"], first.id);
    EXPECT_NE(reply["installedApplication"]["id"], first.installedApplicationId);
    EXPECT_EQ(running.adminGet("state")["devices"].size(), 2u);
    EXPECT_EQ(running.client().postJwt(first.baseURL + "v1/deviceInfo", first.token()).status, 200);

    // Signed, but not by the key the request carries.
    const auto forged = running.client().postJwt(
        first.baseURL + "v1/pairings", makeToken(RunningService::pairingClaims(running.pairingKey("AU"), key),
                                                 &TestKey::shared(1), first.id));
    expectRefusal(forged, 401, "UNAUTHORIZED", "signature", "SIGNATURE_INVALID");
}

TEST_F(ProtocolTest, RefusesTokensThatAreReplayedUnsignedOrFromTheWrongDevice) {
    const auto device = running.pair(TestKey::shared(0));
    const auto other = running.pair(TestKey::shared(1));
    const auto url = device.baseURL + "v1/deviceInfo";

    const auto token = device.token();
    EXPECT_EQ(running.client().postJwt(url, token).status, 200);
    expectRefusal(running.client().postJwt(url, token), 401, "UNAUTHORIZED", "jti", "TOKEN_REPLAYED");

    // Signed by one device's key while "kid" names another.
    expectRefusal(running.client().postJwt(url, makeToken(other.claims(), device.key, other.id)), 401,
                  "UNAUTHORIZED", "signature", "SIGNATURE_INVALID");
    expectRefusal(running.client().postJwt(url, makeToken(device.claims(), nullptr, device.id)), 401,
                  "UNAUTHORIZED", "alg", "SIGNATURE_REQUIRED");
    // An EU device is unknown at the North-American address.
    expectRefusal(running.client().postJwt(running.baseURL(Region::na) + "v1/deviceInfo", device.token()),
                  401, "UNAUTHORIZED", "kid", "UNKNOWN_DEVICE");
    // Finalizing another device's pairing, updating another application's token.
    expectRefusal(running.client().postJwt(device.baseURL + "v1/pairings/" + other.pairingId, device.token()),
                  404, "NOT_FOUND", "pairingId", "NOT_FOUND");
    expectRefusal(running.client().postJwt(device.baseURL + "v1/installedApplications/" +
                                               other.installedApplicationId + "/updatePushToken",
                                           device.token({{"token", "aa"}})),
                  403, "FORBIDDEN", "installedApplicationId", "FORBIDDEN");
}

TEST_F(ProtocolTest, RefusesPairingKeysThatAreUsedUnknownOrFromAnotherRegion) {
    const auto& key = TestKey::shared(0);
    const auto eu = running.baseURL(Region::eu);
    const auto used = running.pairingKey("EU");
    EXPECT_EQ(running.client()
                  .postJwt(eu + "v1/pairings", makeToken(RunningService::pairingClaims(used, key), nullptr))
                  .status,
              201);
    // A fresh device presenting the used key.
    expectRefusal(
        running.client().postJwt(eu + "v1/pairings",
                                 makeToken(RunningService::pairingClaims(used, TestKey::shared(1)), nullptr)),
        400, "INVALID_DATA", "pairingKey", "PAIRING_KEY_USED");

    const auto europeanKey = running.pairingKey("EU");
    const auto refused = expectRefusal(
        running.client().postJwt(running.baseURL(Region::na) + "v1/pairings",
                                 makeToken(RunningService::pairingClaims(europeanKey, key), nullptr)),
        400, "INVALID_DATA", "pairingKey", "PAIRING_KEY_WRONG_REGION");
    EXPECT_EQ(refused["details"][0]["innerError"], json({{"expected", "EU"}, {"actual", "NA"}}));
    // The refusal did not use the key up.
    EXPECT_EQ(
        running.client()
            .postJwt(eu + "v1/pairings", makeToken(RunningService::pairingClaims(europeanKey, key), nullptr))
            .status,
        201);

    expectRefusal(
        running.client().postJwt(eu + "v1/pairings",
                                 makeToken(RunningService::pairingClaims("0299999999999999", key), nullptr)),
        400, "INVALID_DATA", "pairingKey", "PAIRING_KEY_NOT_FOUND");
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
            statuses[i] =
                client
                    .postJwt(url,
                             makeToken(RunningService::pairingClaims(pairingKey, TestKey::shared(int(i % 2))),
                                       nullptr))
                    .status;
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
    auto check = [&](const std::string& id) {
        return device.baseURL + "v1/push/check?authenticationId=" + id + "&bundleId=com.example.host";
    };

    const auto pending = running.adminPost("devices/" + device.id + "/authentications",
                                           {{"timeoutSeconds", 60}})["authenticationId"];
    expectRefusal(running.client().postJwt(check(pending), other.token({{"action", "APPROVE"}})), 403,
                  "FORBIDDEN", "authenticationId", "FORBIDDEN");
    expectRefusal(running.client().postJwt(check(pending), device.token({{"action", "MAYBE"}})), 400,
                  "INVALID_DATA", "action", "ACTION_INVALID");
    EXPECT_EQ(running.client().postJwt(check(pending), device.token({{"action", "DENY"}})).status, 200);
    expectRefusal(running.client().postJwt(check(pending), device.token({{"action", "APPROVE"}})), 409,
                  "CONFLICT", "authenticationId", "AUTHENTICATION_ALREADY_ANSWERED");
    auto denied = running.adminGet("authentications/" + pending.get<std::string>());
    denied.erase("answer");
    EXPECT_EQ(denied, json({{"status", "DENIED"}, {"method", nullptr}, {"isBanner", false}}));

    const auto expired = running.adminPost("devices/" + device.id + "/authentications",
                                           {{"timeoutSeconds", 0}})["authenticationId"];
    const auto late =
        expectRefusal(running.client().postJwt(check(expired), device.token({{"action", "APPROVE"}})), 410,
                      "PUSH_CONFIRMATION_FAILED");
    EXPECT_EQ(late["details"][0]["innerError"]["actual"], "PUSH_CONFIRMATION_TIMED_OUT");
    EXPECT_EQ(running.adminGet("authentications/" + expired.get<std::string>())["status"], "EXPIRED");

    expectRefusal(running.client().postJwt(check("unknown"), device.token({{"action", "APPROVE"}})), 404,
                  "NOT_FOUND");
    expectRefusal(running.client().postJwt(device.baseURL + "v1/push/check?bundleId=com.example.host",
                                           device.token({{"action", "APPROVE"}})),
                  400, "INVALID_DATA", "authenticationId", "AUTHENTICATION_ID_MISSING");
}

TEST_F(ProtocolTest, RefusesLogUploadsThatDoNotMatchTheirToken) {
    const auto device = running.pair(TestKey::shared(0));
    const auto zip = sampleZip();
    expectRefusal(uploadLogs(device, zip, "12", sha256Hex("other bytes"), {}), 400, "INVALID_DATA", "sha256",
                  "DIGEST_MISMATCH");
    expectRefusal(uploadLogs(device, zip, "0012", sha256Hex(zip), {}), 400, "INVALID_DATA", "supportId",
                  "SUPPORT_ID_INVALID");
    const std::string twoParts = "--" + boundary +
                                 "\r\nContent-Disposition: form-data; name=\"other\"\r\n\r\nx\r\n" +
                                 multipartBody(zip);
    expectRefusal(uploadLogs(device, zip, "12", sha256Hex(zip), twoParts), 400, "INVALID_DATA", "log-file",
                  "LOG_FILE_INVALID");
    const auto truncated = multipartBody(zip).substr(0, 300);
    expectRefusal(uploadLogs(device, zip, "12", sha256Hex(zip), truncated), 400, "INVALID_REQUEST");
    EXPECT_TRUE(running.adminGet("state")["uploads"].empty());

    auto noHeader = running.client().request(
        "POST", device.baseURL + "v1/logs",
        {"content-type: multipart/form-data; boundary=" + boundary, "Accept: application/jwt"},
        multipartBody(zip));
    expectRefusal(noHeader, 401, "UNAUTHORIZED", "Marvis-Mobile-Logs", "TOKEN_MISSING");
    auto asJwt = running.client().request(
        "POST", device.baseURL + "v1/logs",
        {"content-type: application/jwt", "Accept: application/jwt", "Marvis-Mobile-Logs: " + device.token()},
        "x");
    expectRefusal(asJwt, 415, "UNSUPPORTED_MEDIA_TYPE");

    // Whitespace after ";" in the content type is tolerated; a taken support id is not.
    EXPECT_EQ(uploadLogs(device, zip, "12", sha256Hex(zip), {}).status, 201);
    expectRefusal(uploadLogs(device, zip, "12", sha256Hex(zip), {}), 409, "CONFLICT", "supportId",
                  "SUPPORT_ID_TAKEN");
    EXPECT_EQ(uploadLogs(device, zip, "13", sha256Hex(zip), {}).status, 201);
    EXPECT_EQ(uploadLogs(device, zip, "14", sha256Hex(zip), {}).status, 201);
    expectRefusal(uploadLogs(device, zip, "15", sha256Hex(zip), {}), 413, "PAYLOAD_TOO_LARGE");
    EXPECT_EQ(running.adminGet("state")["uploads"].size(), 3u);
}

TEST_F(ProtocolTest, RefusesMalformedRequestsWithASignedErrorAndKeepsServing) {
    const auto device = running.pair(TestKey::shared(0));
    const auto url = device.baseURL + "v1/deviceInfo";
    const std::vector<std::string> jwtHeaders{"content-type: application/jwt", "Accept: application/jwt"};
    struct Case {
        const char* name;
        std::string contentType, accept, body;
        long status;
        const char* code;
    };
    const std::string header = base64Url(R"({"alg":"RS256","typ":"JWT","kid":")" + device.id + "\"}");
    const std::string jwt = "application/jwt", token = device.token();
    const std::vector<Case> cases{
        {"text content type", "text/plain", jwt, token, 415, "UNSUPPORTED_MEDIA_TYPE"},
        {"no content type", "", jwt, token, 415, "UNSUPPORTED_MEDIA_TYPE"},
        {"html accepted only", jwt, "text/html", token, 406, "NOT_ACCEPTABLE"},
        {"not a token", jwt, jwt, "hello", 400, "INVALID_DATA"},
        {"four segments", jwt, jwt, token + ".x", 400, "INVALID_DATA"},
        {"header not JSON", jwt, jwt, base64Url("{\"alg\":") + "." + base64Url("{}") + ".", 400,
         "INVALID_DATA"},
        {"payload an array", jwt, jwt, header + "." + base64Url("[1,2]") + ".", 400, "INVALID_DATA"},
        {"padded segment", jwt, jwt, header + "=." + base64Url("{}") + ".", 400, "INVALID_DATA"},
        {"not UTF-8", jwt, jwt, header + "." + base64Url("{\"a\":\"\xff\xfe\"}") + ".", 400, "INVALID_DATA"},
        {"empty body", jwt, jwt, "", 400, "INVALID_DATA"},
        {"over 8 MiB", jwt, jwt, std::string(8 * 1024 * 1024 + 1, 'a'), 413, "PAYLOAD_TOO_LARGE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto reply = running.client().request(
            "POST", url, {"content-type: " + c.contentType, "Accept: " + c.accept}, c.body);
        expectRefusal(reply, c.status, c.code);
    }
    expectRefusal(running.client().postJwt(device.baseURL + "v1/unknown", device.token()), 404, "NOT_FOUND");
    expectRefusal(running.client().request("GET", url, jwtHeaders), 405, "METHOD_NOT_ALLOWED");
    expectRefusal(running.client().postJwt("https://127.0.0.1:" + std::to_string(running.service().port()) +
                                               "/xx/v1/pairings",
                                           "x"),
                  404, "NOT_FOUND");
    expectRefusal(running.client().request("PUT", url, jwtHeaders, device.token()), 405, "METHOD_NOT_ALLOWED");

    auto pairing = RunningService::pairingClaims(running.pairingKey("EU"), *device.key);
    pairing["mobileDevice"]["publicKey"] = "not base64!";
    expectRefusal(running.client().postJwt(device.baseURL + "v1/pairings", makeToken(pairing, nullptr)), 400,
                  "INVALID_DATA", "publicKey", "PUBLIC_KEY_INVALID");
    pairing.erase("pairingKey");
    expectRefusal(running.client().postJwt(device.baseURL + "v1/pairings", makeToken(pairing, nullptr)), 400,
                  "INVALID_DATA", "pairingKey", "PAIRING_KEY_MISSING");

    EXPECT_EQ(running.client().postJwt(url, device.token()).status, 200);
}

} // namespace
} // namespace velquor::service::test
