// The admin interface: what a host developer asks the service for, its refusals, and the faults
// it plants.
#include "ServiceTestSupport.hpp"

#include <gtest/gtest.h>

#include <netdb.h>
#include <unistd.h>

namespace velquor::service::test {
namespace {

class AdminTest : public ::testing::Test {
protected:
    RunningService running;

    void addFault(const json& fault) { running.adminPost("faults", fault); }
};

// A pairing key's prefix names its region: the library reads it, and pairs in each region, in the
// pairing flow's test; a fresh key each time is the protocol test's.
TEST_F(AdminTest, IssuesIdentityTokensCarryingAPairingKeyOfTheirRegion) {
    const auto issued = running.adminPost("identity-tokens", {{"region", "AU"}});
    const auto token = decodeToken(issued["idToken"], running.serverPublicKey());
    ASSERT_TRUE(token && token->signatureValid);
    EXPECT_EQ(token->claims["vq.enrollment"],
              json({{"status", "SUCCESS"}, {"pairingKey", issued["pairingKey"]}}));
    const auto claims = RunningService::pairingClaims(issued["pairingKey"], testKey(0));
    EXPECT_EQ(running.post(running.baseURL(Region::au) + "v1/pairings", makeToken(claims, nullptr)).status,
              201);
}

// Each refusal names the member at fault; a body must be declared JSON, so a cross-site "simple"
// request (text or form) is refused, while a bodiless POST needs no content type.
TEST_F(AdminTest, RefusesWhatItCannotDo) {
    const auto device = running.pair(testKey(0));
    const std::string type = "content-type: application/json";
    struct Case {
        std::string method, path, contentType, body;
        long status;
        std::string target;
    };
    std::vector<Case> cases{
        {"POST", "pairing-keys", type, R"({"region": "eu"})", 400, "region"},
        {"POST", "pairing-keys", type, R"({"region": 1})", 400, "region"},
        {"POST", "pairing-keys", type, "{}", 400, "region"},
        {"POST", "pairing-keys", type, "{not json", 400, ""},
        {"POST", "pairing-keys", "content-type: text/plain", R"({"region": "EU"})", 415, ""},
        {"POST", "pairing-keys", "content-type: application/x-www-form-urlencoded", "region=EU", 415, ""},
        {"POST", "pairing-keys", type + "; charset=utf-8", R"({"region": "EU"})", 201, ""},
        {"POST", "devices/nope/log-requests", "", "", 404, "mobileDeviceId"},
        {"POST", "devices/nope/authentications", type, "{}", 404, "mobileDeviceId"},
        {"POST", "devices/" + device.id + "/authentications", type, R"({"timeoutSeconds": -1})", 400,
         "timeoutSeconds"},
        {"GET", "authentications/nope", "", "", 404, ""},
        {"GET", "uploads/123", "", "", 404, ""},
        {"GET", "nothing-here", "", "", 404, ""},
        {"POST", "faults", type, R"({"path": "v1/push/check?authenticationId=1"})", 400, "path"},
        {"POST", "faults", type, R"({"status": 500})", 400, "path"},
        {"POST", "faults", type, R"({"path": "v1/logs", "body": "x", "bodyBase64": "eA=="})", 400,
         "bodyBase64"},
        {"POST", "faults", type, R"({"path": "v1/logs", "bodyBase64": "eA="})", 400, "bodyBase64"},
        {"POST", "faults", type, R"({"path": "v1/logs", "body": "x", "serverPublicKey": "foreign"})", 400,
         "serverPublicKey"},
    };
    // A fault with one member of a wrong value is refused, naming that member.
    const auto wrong = json::parse(R"({"abort": "later", "correlationId": 5, "status": 42, "body": 5,
        "signature": "maybe", "delayMs": -1, "times": 0})");
    for (const auto& [member, value] : wrong.items())
        cases.push_back(
            {"POST", "faults", type, json{{"path", "v1/logs"}, {member, value}}.dump(), 400, member});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + c.body);
        const auto url = running.service().adminURL() + c.path;
        const auto headers = c.contentType.empty() ? std::vector<std::string>() : std::vector{c.contentType};
        const auto reply = running.client().request(c.method, url, headers, c.body);
        EXPECT_EQ(reply.status, c.status) << reply.body;
        EXPECT_EQ(reply.headers.count("correlation-id"), 1u);
        const auto body = json::parse(reply.body, nullptr, false);
        EXPECT_EQ(c.target.empty() || body["details"][0]["target"] == c.target, true) << body;
    }
}

// Faults planted through the admin interface: each kind of reply they give, their matching and
// order, and that a faulted request never reaches the real handler.
using FaultTest = AdminTest;

// A fault answers before any check or handler, whatever the path (the flow tests plant them on the
// push check and the log upload too): a faulted pairing uses up nothing and records nothing.
TEST_F(FaultTest, UsesFaultsInTheOrderAddedAndMatchesPrefixesAndFaultedRequestsChangeNothing) {
    const auto eu = running.baseURL(Region::eu);
    const auto pairingToken =
        makeToken(RunningService::pairingClaims(running.pairingKey("EU"), testKey(0)), nullptr);
    addFault({{"path", "v1/pairings"}, {"status", 500}});
    EXPECT_EQ(running.post(eu + "v1/pairings", pairingToken).status, 500);
    EXPECT_TRUE(running.adminGet("state")["devices"].empty());
    // The very same token (same key, same "jti") still pairs.
    EXPECT_EQ(running.post(eu + "v1/pairings", pairingToken).status, 201);

    const auto device = running.pair(testKey(0), Region::na, false);
    const auto finalize = device.baseURL + "v1/pairings/" + device.pairingId;
    addFault({{"path", "v1/pairings/*"}, {"status", 500}, {"times", 2}});
    addFault({{"path", "/v1/pairings/" + device.pairingId}, {"status", 502}});
    // The prefix does not reach "v1/pairings" itself, which has no trailing "/".
    const auto other = running.pair(testKey(1), Region::na, false);
    EXPECT_EQ(running.adminGet("state")["devices"].size(), 3u);

    EXPECT_EQ(running.post(finalize, device.token()).status, 500);
    EXPECT_EQ(running.post(finalize, device.token()).status, 500);
    EXPECT_EQ(running.post(finalize, device.token()).status, 502);
    EXPECT_FALSE(running.adminGet("state")["devices"][1]["finalized"]);
    EXPECT_EQ(running.post(finalize, device.token()).status, 200);

    addFault({{"path", "v1/pairings/*"}, {"status", 500}, {"times", 5}});
    EXPECT_EQ(running.adminRaw("DELETE", "faults").status, 200);
    EXPECT_EQ(running.post(other.baseURL + "v1/pairings/" + other.pairingId, other.token()).status, 200);
}

TEST_F(FaultTest, ProducesEveryReplyAndTransportFailureAClientMustSurvive) {
    const auto device = running.pair(testKey(0));
    const auto foreignKey = running.service().readyDescription()["foreignPublicKey"].get<std::string>();
    struct Case {
        json fault;
        CURLcode code;
        std::string body; // "*": a token, checked below
        std::string alg = "", keyUsed = "";
    };
    const std::string key = running.serverPublicKey();
    const std::vector<Case> cases{
        {{{"status", 503}, {"body", {{"code", "BUSY"}}}}, CURLE_OK, "*", "RS256", key},
        {{{"body", {{"code", "X"}}}, {"signature", "none"}}, CURLE_OK, "*", "none"},
        {{{"body", {{"public", 1}}}, {"signature", "foreign"}}, CURLE_OK, "*", "RS256", foreignKey},
        {{{"body", {{"id", "p"}}}, {"serverPublicKey", "foreign"}}, CURLE_OK, "*", "RS256", foreignKey},
        {{{"body", "not a token at all"}}, CURLE_OK, "not a token at all"},
        {{{"bodyBase64", "//4AYWJj"}}, CURLE_OK, std::string("\xff\xfe\0abc", 6)},
        {{{"abort", "beforeReply"}, {"body", "0123456789"}}, CURLE_GOT_NOTHING, ""},
        {{{"abort", 4}, {"body", "0123456789"}}, CURLE_PARTIAL_FILE, "0123"},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.fault.dump());
        c.fault["path"] = "v1/deviceInfo";
        addFault(c.fault);
        // A fresh connection: on a reused one, libcurl retries a request whose connection died.
        HttpsClient client(running.service().caCertificatePath());
        const auto reply = client.postJwt(device.baseURL + "v1/deviceInfo", device.token());
        EXPECT_EQ(reply.code, c.code) << reply.transportError;
        EXPECT_EQ(reply.status, c.code == CURLE_OK ? c.fault.value("status", 500) : 0);
        EXPECT_EQ(reply.headers.count("correlation-id"), c.code == CURLE_GOT_NOTHING ? 0u : 1u);
        if (c.body != "*") {
            EXPECT_EQ(reply.body, c.body);
            continue;
        }
        const auto token = decodeToken(reply.body, c.keyUsed);
        ASSERT_TRUE(token);
        EXPECT_EQ(token->header.value("alg", ""), c.alg);
        EXPECT_EQ(token->signatureValid, !c.keyUsed.empty());
        auto claims = c.fault["body"];
        if (c.fault.contains("serverPublicKey"))
            claims["serverPublicKey"] = foreignKey;
        EXPECT_EQ(token->claims, claims);
    }
    // Spent faults are gone: the real handler answers again.
    EXPECT_EQ(running.post(device.baseURL + "v1/deviceInfo", device.token()).status, 200);
    EXPECT_NE(foreignKey, running.serverPublicKey());
}

// A host outside the usual names, as an address or as a DNS name (this machine's), gets a
// certificate that covers it, and a client verifying with the ready file's CA connects by that name.
// Both fault certificates are refused by libcurl in the communication tests (the transport's code for
// a failed verification); here, that the wrong-name one is wrong in its name only.
TEST_F(FaultTest, CertifiesTheHostItListensOnAndServesACertificateWrongOnlyInItsName) {
    const auto ready = running.service().readyDescription();
    const std::string wrongName = ready["tlsFaultURLs"]["wrongName"]["EU"];
    const auto port =
        wrongName.substr(wrongName.rfind(':') + 1, wrongName.find('/', 8) - wrongName.rfind(':') - 1);
    HttpsClient client(ready["caCertificate"].get<std::string>(),
                       {"wrong-name.invalid:" + port + ":127.0.0.1"});
    const auto reply = client.request("GET", "https://wrong-name.invalid:" + port + "/eu/v1/deviceInfo", {});
    EXPECT_EQ(reply.status, 405) << reply.transportError;

    char name[256] = {};
    addrinfo* found = nullptr;
    if (::gethostname(name, sizeof name - 1) != 0 || ::getaddrinfo(name, nullptr, nullptr, &found) != 0)
        GTEST_SKIP() << "this machine's name \"" << name << "\" does not resolve";
    ::freeaddrinfo(found);
    for (const auto& host : {std::string("127.0.0.2"), std::string(name)}) {
        RunningService elsewhere({.host = host, .stateDirectory = {}});
        const auto description = elsewhere.service().readyDescription();
        const std::string url = description["baseURLs"]["EU"];
        EXPECT_EQ(url.substr(0, 9 + host.size()), "https://" + host + ":");
        HttpsClient verifying(description["caCertificate"].get<std::string>());
        const auto answer = verifying.request("GET", url + "v1/deviceInfo", {});
        EXPECT_EQ(answer.status, 405) << host << ": " << answer.transportError;
    }
}

} // namespace
} // namespace velquor::service::test
