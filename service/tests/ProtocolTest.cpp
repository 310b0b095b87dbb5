// The protocol as a device speaks it, over real TLS: every request kind, and the refusals that
// tell a client what it got wrong.
#include "ServiceTestSupport.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

namespace velquor::service::test {
namespace {

using namespace std::chrono_literals;

size_t trickle(char* buffer, size_t, size_t, void* stop) {
    if (static_cast<std::atomic<int>*>(stop)->load() < 0)
        return CURL_READFUNC_ABORT;
    ++*static_cast<std::atomic<int>*>(stop);
    std::this_thread::sleep_for(300ms);
    buffer[0] = 'x';
    return 1;
}

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

TEST_F(ProtocolTest, ServesPairingFinalizeDeviceInfoPushAnswerAndLogUpload) {
    const auto& key = testKey(0);
    const auto base = running.baseURL(Region::eu);
    // Its prefix naming the region is the pairing flow's: the library picks the address by it.
    const auto pairingKey = running.pairingKey("EU");

    // Pairing: unsigned; the reply carries the key that signed it.
    const auto paired = running.post(
        base + "v1/pairings", makeToken(RunningService::pairingClaims(pairingKey, key, true), nullptr));
    ASSERT_EQ(paired.status, 201) << paired.body;
    const auto pairing = running.replyClaims(paired);
    EXPECT_EQ(pairing["serverPublicKey"], running.serverPublicKey());
    EXPECT_EQ(pairing["status"], "PENDING_ACK");
    EXPECT_EQ(pairing["mobileDevice"]["marketingName"], "iPhone12,1");
    const PairedDevice device{&key, pairing["mobileDevice"]["id"], pairing["installedApplication"]["id"],
                              pairing["id"], base};
    auto listed =
        json::parse(R"({"region": "EU", "pushToken": "00ab10ff", "sandbox": true, "finalized": false})");
    listed.update({{"id", device.id}, {"installedApplicationId", device.installedApplicationId}});
    EXPECT_EQ(running.adminGet("state")["devices"], json::array({listed}));

    const auto finalized = running.post(base + "v1/pairings/" + device.pairingId, device.token());
    EXPECT_EQ(finalized.status, 200);
    EXPECT_EQ(running.replyClaims(finalized), json({{"id", device.pairingId}, {"status", "COMPLETED"}}));
    // A token update (its sandbox flag included) is the pairing flow's end-to-end test.

    auto info = running.replyClaims(running.post(base + "v1/deviceInfo", device.token()));
    ASSERT_EQ(info["devices"].size(), 1u);
    const auto record = info["devices"][0];
    auto expected =
        json::parse(R"({"marketingName": "iPhone12,1", "region": "EU", "pushToken": "00ab10ff"})");
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
    EXPECT_EQ(json::parse(
                  ServiceBase64::decode(created["userInfo"]["Velquor"].get<std::string>()).value_or("null")),
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

// A paired device signs its new pairing with its key and names its old id in "kid"; a refused key
// (unknown, another region's, used, or signed by a key the request does not carry) pairs nothing.
TEST_F(ProtocolTest, PairsAgainAsANewDeviceAndRefusesWrongOrUsedPairingKeys) {
    const auto& key = testKey(0);
    const auto first = running.pair(key, Region::au);
    const auto pair = [&](Region region, const std::string& pairingKey, const ServiceKeys* signer = nullptr) {
        return running.post(running.baseURL(region) + "v1/pairings",
                            makeToken(RunningService::pairingClaims(pairingKey, key), signer,
                                      signer ? std::optional(first.id) : std::nullopt));
    };
    const auto again = pair(Region::au, running.pairingKey("AU"), &key);
    ASSERT_EQ(again.status, 201) << again.body;
    const auto repaired = running.replyClaims(again);
    EXPECT_NE(repaired["mobileDevice"]["id"], first.id);
    EXPECT_NE(repaired["installedApplication"]["id"], first.installedApplicationId);
    EXPECT_EQ(running.post(first.baseURL + "v1/deviceInfo", first.token()).status, 200);

    running.expectRefusal(pair(Region::au, running.pairingKey("AU"), &testKey(1)), 401, "UNAUTHORIZED",
                          "signature", "SIGNATURE_INVALID");
    const auto europeanKey = running.pairingKey("EU");
    const auto refused = running.expectRefusal(pair(Region::na, europeanKey), 400, "INVALID_DATA",
                                               "pairingKey", "PAIRING_KEY_WRONG_REGION");
    EXPECT_EQ(refused["details"][0]["innerError"], json({{"expected", "EU"}, {"actual", "NA"}}));
    running.expectRefusal(pair(Region::eu, "0299999999999999"), 400, "INVALID_DATA", "pairingKey",
                          "PAIRING_KEY_NOT_FOUND");
    EXPECT_EQ(running.adminGet("state")["devices"].size(), 2u) << "a refusal made a device";
    // The refusal did not use the key up.
    EXPECT_EQ(pair(Region::eu, europeanKey).status, 201);

    // Of many concurrent devices one pairs; the others, and the same device again, find the key used.
    const auto pairingKey = running.pairingKey("NA");
    std::vector<HttpReply> replies(6);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < replies.size(); ++i)
        threads.emplace_back([&, i] {
            HttpsClient client(running.service().caCertificatePath());
            const auto claims = RunningService::pairingClaims(pairingKey, testKey(int(i % 2)));
            replies[i] =
                client.postJwt(running.baseURL(Region::na) + "v1/pairings", makeToken(claims, nullptr));
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(std::ranges::count(replies, 201L, &HttpReply::status), 1);
    for (const auto& reply : replies)
        if (reply.status != 201)
            running.expectRefusal(reply, 400, "INVALID_DATA", "pairingKey", "PAIRING_KEY_USED");
    EXPECT_EQ(running.adminGet("state")["devices"].size(), 4u);
}

TEST_F(ProtocolTest, AnswersAnAuthenticationOnceOnlyFromItsDeviceAndOnlyInTime) {
    const auto device = running.pair(testKey(0));
    const auto other = running.pair(testKey(1));
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
    // What a late answer's refusal carries, and the record it leaves, are the notification flow's.
    running.expectRefusal(running.post(device.checkURL(expired), device.token(approve)), 410,
                          "PUSH_CONFIRMATION_FAILED");
    running.expectRefusal(running.post(device.checkURL("unknown"), device.token(approve)), 404, "NOT_FOUND");
    running.expectRefusal(
        running.post(device.baseURL + "v1/push/check?bundleId=com.example.host", device.token(approve)), 400,
        "INVALID_DATA", "authenticationId", "AUTHENTICATION_ID_MISSING");
}

TEST_F(ProtocolTest, RefusesLogUploadsThatDoNotMatchTheirToken) {
    const auto device = running.pair(testKey(0));
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
    const auto post = [&](std::vector<std::string> headers, const std::string& content) {
        headers.push_back("Accept: application/jwt");
        return running.client().request("POST", device.baseURL + "v1/logs", headers, content);
    };
    running.expectRefusal(post({"content-type: multipart/form-data; boundary=b"}, body), 401, "UNAUTHORIZED",
                          "Marvis-Mobile-Logs", "TOKEN_MISSING");
    running.expectRefusal(
        post({"content-type: application/jwt", "Marvis-Mobile-Logs: " + device.token()}, "x"), 415,
        "UNSUPPORTED_MEDIA_TYPE");
    EXPECT_TRUE(running.adminGet("state")["uploads"].empty());

    // Whitespace after ";" in the content type is tolerated; a taken support id is not.
    EXPECT_EQ(upload(device, "12", digest).status, 201);
    running.expectRefusal(upload(device, "12", digest), 409, "CONFLICT", "supportId", "SUPPORT_ID_TAKEN");
    EXPECT_EQ(upload(device, "13", digest).status, 201);
    EXPECT_EQ(upload(device, "14", digest).status, 201);
    running.expectRefusal(upload(device, "15", digest), 413, "PAYLOAD_TOO_LARGE");
    EXPECT_EQ(running.adminGet("state")["uploads"].size(), 3u);
}

// What a hostile or careless client cannot do: nest JSON without end, or hold every worker with
// slow connections. (The admin media type is the admin interface's, a foreign state directory the
// program's.)
TEST_F(ProtocolTest, RefusesJsonNestedPastTheLimitAndAnswersWhileThirtyConnectionsIdleOrTrickle) {
    const auto device = running.pair(testKey(0));
    // Nested `depth` deep: the fault object, its body and the arrays in "a".
    const auto nested = [](size_t depth) {
        return std::string(depth - 2, '[') + std::string(depth - 2, ']');
    };
    for (const auto& [depth, status] :
         std::vector<std::pair<size_t, long>>{{64, 201}, {65, 400}, {200000, 400}}) {
        const auto reply =
            running.adminRaw("POST", "faults", R"({"path":"v1/x","body":{"a":)" + nested(depth) + "}}");
        EXPECT_EQ(reply.status, status) << depth << reply.body;
    }
    const std::string deep = nested(1000000);
    auto claims = device.claims().dump();
    claims.insert(claims.size() - 1, ",\"deep\":" + deep);
    const std::string input = base64Url(json({{"alg", "RS256"}, {"typ", "JWT"}, {"kid", device.id}}).dump()) +
                              "." + base64Url(claims);
    const auto refused = running.post(device.baseURL + "v1/deviceInfo",
                                      input + "." + base64Url(*device.key->signSha256(input)));
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(running.replyClaims(refused)["details"][0]["target"], "token");

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(running.service().port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> idle;
    for (int i = 0; i < 15; ++i) {
        idle.push_back(::socket(AF_INET, SOCK_STREAM, 0));
        EXPECT_EQ(::connect(idle.back(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    std::atomic<int> progress{0};
    std::vector<std::thread> tricklers;
    for (int i = 0; i < 15; ++i)
        tricklers.emplace_back([&] {
            CURL* curl = curl_easy_init();
            curl_slist* headers = curl_slist_append(nullptr, "content-type: application/jwt");
            curl_easy_setopt(curl, CURLOPT_URL, (device.baseURL + "v1/deviceInfo").c_str());
            curl_easy_setopt(curl, CURLOPT_CAINFO, running.service().caCertificatePath().c_str());
            curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
            curl_easy_setopt(curl, CURLOPT_POST, 1L);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, 100000L);
            curl_easy_setopt(curl, CURLOPT_READFUNCTION, trickle);
            curl_easy_setopt(curl, CURLOPT_READDATA, &progress);
            curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
            curl_easy_perform(curl);
            curl_slist_free_all(headers);
            curl_easy_cleanup(curl);
        });
    EXPECT_TRUE(velquor::test::waitUntil([&] { return progress >= 30; }, 30s))
        << "the trickling uploads did not start";

    EXPECT_EQ(running.post(device.baseURL + "v1/deviceInfo", device.token()).status, 200);

    progress = -1000000;
    for (auto& thread : tricklers)
        thread.join();
    // A connection that never starts its TLS handshake is closed by the read limit.
    timeval wait{30, 0};
    ::setsockopt(idle[0], SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char byte;
    EXPECT_EQ(::recv(idle[0], &byte, 1, 0), 0) << "the service kept a silent connection open";
    for (const int fd : idle)
        ::close(fd);
}

// Malformed, replayed, unsigned or misdirected requests, and requests signed by the wrong device.
TEST_F(ProtocolTest, RefusesWrongRequestsWithASignedErrorAndKeepsServing) {
    const auto device = running.pair(testKey(0));
    const auto other = running.pair(testKey(1));
    const auto url = device.baseURL + "v1/deviceInfo";
    // An empty `url` is the device-information address.
    struct Case {
        const char* name;
        std::string url, body;
        long status;
        std::string code, target = {}, detail = {}, method = "POST", contentType = "application/jwt",
                          accept = "application/jwt";
    };
    const std::string header = base64Url(R"({"alg":"RS256","typ":"JWT","kid":")" + device.id + "\"}");
    const std::string token = device.token(), notFound = "NOT_FOUND", notAllowed = "METHOD_NOT_ALLOWED";
    const auto root = "https://127.0.0.1:" + std::to_string(running.service().port()) + "/";
    EXPECT_EQ(running.post(url, token).status, 200);
    const std::vector<Case> cases{
        {"replayed", "", token, 401, "UNAUTHORIZED", "jti", "TOKEN_REPLAYED"},
        {"signed for another device", "", makeToken(other.claims(), device.key, other.id), 401,
         "UNAUTHORIZED", "signature", "SIGNATURE_INVALID"},
        {"unsigned", "", makeToken(device.claims(), nullptr, device.id), 401, "UNAUTHORIZED", "alg",
         "SIGNATURE_REQUIRED"},
        {"paired in another region", running.baseURL(Region::na) + "v1/deviceInfo", device.token(), 401,
         "UNAUTHORIZED", "kid", "UNKNOWN_DEVICE"},
        {"another device's pairing", device.baseURL + "v1/pairings/" + other.pairingId, device.token(), 404,
         notFound, "pairingId", notFound},
        {"another application's token",
         device.baseURL + "v1/installedApplications/" + other.installedApplicationId + "/updatePushToken",
         device.token({{"token", "aa"}}), 403, "FORBIDDEN", "installedApplicationId", "FORBIDDEN"},
        {"text content type", "", token, 415, "UNSUPPORTED_MEDIA_TYPE", "", "", "POST", "text/plain"},
        {"no content type", "", token, 415, "UNSUPPORTED_MEDIA_TYPE", "", "", "POST", ""},
        {"html accepted only", "", token, 406, "NOT_ACCEPTABLE", "", "", "POST", "application/jwt",
         "text/html"},
        {"not a token", "", "hello", 400, "INVALID_DATA"},
        {"four segments", "", token + ".x", 400, "INVALID_DATA"},
        {"header not JSON", "", base64Url("{\"alg\":") + "." + base64Url("{}") + ".", 400, "INVALID_DATA"},
        {"payload an array", "", header + "." + base64Url("[1,2]") + ".", 400, "INVALID_DATA"},
        {"padded segment", "", header + "=." + base64Url("{}") + ".", 400, "INVALID_DATA"},
        {"not UTF-8", "", header + "." + base64Url("{\"a\":\"\xff\xfe\"}") + ".", 400, "INVALID_DATA"},
        {"empty body", "", "", 400, "INVALID_DATA"},
        {"over 8 MiB", "", std::string(8 * 1024 * 1024 + 1, 'a'), 413, "PAYLOAD_TOO_LARGE"},
        {"unknown request", device.baseURL + "v1/unknown", token, 404, notFound},
        {"unknown region", root + "xx/v1/pairings", "x", 404, notFound},
        {"GET", "", "", 405, notAllowed, "", "", "GET"},
        {"PUT", "", token, 405, notAllowed, "", "", "PUT"},
        {"DELETE", device.baseURL + "v1/pairings", "", 405, notAllowed, "", "", "DELETE"},
        {"PATCH", "", token, 405, notAllowed, "", "", "PATCH"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto reply =
            running.client().request(c.method, c.url.empty() ? url : c.url,
                                     {"content-type: " + c.contentType, "Accept: " + c.accept}, c.body);
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
    PairedDevice device = running.pair(testKey(0));
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
            makeToken(claims, c.kind == Kind::pairing ? nullptr : device.key, std::nullopt, header);
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
    const auto pkcs1 =
        ServiceBase64::encode(ServiceBase64::decode(device.key->publicKeyBase64())->substr(24));
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
    // Values of the right type outside what a device of this kind reports: [path, value].
    for (const auto& wrong : json::parse(R"([["os.type", "ANDROID"], ["manufacturer", "Google"],
            ["apiVersion", "v2"], ["rooted", true], ["lockEnabled", true], ["lockEnabled", "yes"],
            ["networkType", "5G"], ["permissions.camera", "granted"], ["permissions.location", "authorized"],
            ["permissions.push", "provisional"], ["permissions.silentPush", "authorized"]])")) {
        const auto target = "metadata." + wrong[0].get<std::string>();
        cases.push_back({target + wrong[1].dump(), Kind::deviceInfo, target, wrong[1], 400, target,
                         "DEVICE_DATA_INVALID"});
    }
    for (const char* path : {"metadata.extra", "metadata.application.extra"})
        cases.push_back({path, Kind::deviceInfo, path, 1, 400, path, "DEVICE_DATA_UNEXPECTED"});
    expect(cases);
}

} // namespace
} // namespace velquor::service::test
