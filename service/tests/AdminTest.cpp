// The admin interface: what a host developer asks the service for, and its refusals.
#include "ServiceTestSupport.hpp"

#include <gtest/gtest.h>

namespace velquor::service::test {
namespace {

class AdminTest : public ::testing::Test {
protected:
    RunningService running;
};

TEST_F(AdminTest, IssuesPairingKeysAndIdentityTokensWhosePrefixNamesTheRegion) {
    for (const auto& [region, prefix] :
         {std::pair("NA", "01"), std::pair("EU", "02"), std::pair("AU", "03")}) {
        const auto key = running.pairingKey(region);
        EXPECT_EQ(key.substr(0, 2) + "/" + std::to_string(key.size()), prefix + std::string("/16")) << region;
        EXPECT_NE(key, running.pairingKey(region));
    }
    const auto issued = running.adminPost("identity-tokens", {{"region", "AU"}});
    const auto token = decodeToken(issued["idToken"], running.serverPublicKey());
    ASSERT_TRUE(token && token->signatureValid);
    EXPECT_EQ(token->claims["vq.enrollment"],
              json({{"status", "SUCCESS"}, {"pairingKey", issued["pairingKey"]}}));
    EXPECT_EQ(issued["pairingKey"].get<std::string>().substr(0, 2), "03");
    const auto claims = RunningService::pairingClaims(issued["pairingKey"], TestKey::shared(0));
    EXPECT_EQ(running.post(running.baseURL(Region::au) + "v1/pairings", makeToken(claims, nullptr)).status,
              201);
}

// Each refusal names the member at fault; a body must be declared JSON, so a cross-site "simple"
// request (text or form) is refused, while a bodiless POST needs no content type.
TEST_F(AdminTest, RefusesWhatItCannotDo) {
    const auto device = running.pair(TestKey::shared(0));
    const std::string type = "content-type: application/json";
    struct Case {
        std::string method, path, contentType, body;
        long status;
        std::string target;
    };
    const std::vector<Case> cases{
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
        {"POST", "faults", type, R"({"path": "v1/logs", "abort": "later"})", 400, "abort"},
        {"POST", "faults", type, R"({"path": "v1/logs", "correlationId": 5})", 400, "correlationId"},
        {"POST", "faults", type, R"({"path": "v1/logs", "status": 42})", 400, "status"},
        {"POST", "faults", type, R"({"path": "v1/logs", "body": 5})", 400, "body"},
        {"POST", "faults", type, R"({"path": "v1/logs", "signature": "maybe"})", 400, "signature"},
        {"POST", "faults", type, R"({"path": "v1/logs", "delayMs": -1})", 400, "delayMs"},
        {"POST", "faults", type, R"({"path": "v1/logs", "times": 0})", 400, "times"},
    };
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

} // namespace
} // namespace velquor::service::test
