// The admin interface: what a host developer asks the service for, and its refusals.
#include "ServiceTestSupport.hpp"

#include <gtest/gtest.h>

namespace velquor::service::test {
namespace {

class AdminTest : public ::testing::Test {
protected:
    RunningService running;
};

TEST_F(AdminTest, IssuesPairingKeysWhosePrefixNamesTheRegion) {
    for (const auto& [region, prefix] :
         std::vector<std::pair<std::string, std::string>>{{"NA", "01"}, {"EU", "02"}, {"AU", "03"}}) {
        const auto key = running.pairingKey(region);
        EXPECT_EQ(key.substr(0, 2), prefix) << region;
        EXPECT_EQ(key.size(), 16u);
        EXPECT_NE(key, running.pairingKey(region));
    }
    for (const json& body : {json{{"region", "eu"}}, json{{"region", 1}}, json::object()}) {
        const auto refused = running.adminPost("pairing-keys", body, 400);
        EXPECT_EQ(refused["details"][0]["target"], "region") << body.dump();
    }
    EXPECT_EQ(running.adminRaw("POST", "pairing-keys", "{not json").status, 400);
}

TEST_F(AdminTest, IssuesSignedIdentityTokensCarryingAFreshPairingKey) {
    const auto issued = running.adminPost("identity-tokens", {{"region", "AU"}});
    const auto token = decodeToken(issued["idToken"], running.serverPublicKey());
    ASSERT_TRUE(token);
    EXPECT_TRUE(token->signatureValid);
    EXPECT_EQ(token->claims["vq.enrollment"],
              json({{"status", "SUCCESS"}, {"pairingKey", issued["pairingKey"]}}));
    EXPECT_EQ(issued["pairingKey"].get<std::string>().substr(0, 2), "03");
    const auto paired = running.client().postJwt(
        running.baseURL(Region::au) + "v1/pairings",
        makeToken(RunningService::pairingClaims(issued["pairingKey"], TestKey::shared(0)), nullptr));
    EXPECT_EQ(paired.status, 201);
}

TEST_F(AdminTest, ReportsStateWithNullForWhatIsNotYetKnown) {
    const auto device = running.pair(TestKey::shared(0), Region::na);
    const auto id =
        running.adminPost("devices/" + device.id + "/authentications", json::object())["authenticationId"];
    const auto state = running.adminGet("state");
    EXPECT_EQ(state["authentications"], json::array({{{"id", id},
                                                      {"deviceId", device.id},
                                                      {"status", "PENDING"},
                                                      {"method", nullptr},
                                                      {"isBanner", nullptr}}}));
    EXPECT_EQ(state["devices"][0]["region"], "NA");
    EXPECT_EQ(state["devices"][0]["sandbox"], false);
    EXPECT_EQ(state["uploads"], json::array());

    // Authentications default to a 45-second timeout, as the notification says.
    const auto created = running.adminPost("devices/" + device.id + "/authentications", json::object());
    const auto notification =
        json::parse(base64StandardDecode(created["userInfo"]["Velquor"].get<std::string>()).value_or(""));
    EXPECT_EQ(notification["timeout"]["duration"], 45);
}

TEST_F(AdminTest, RefusesUnknownThings) {
    EXPECT_EQ(running.adminPost("devices/nope/authentications", json::object(), 404)["details"][0]["target"],
              "mobileDeviceId");
    EXPECT_EQ(running.adminPost("devices/nope/log-requests", json::object(), 404)["details"][0]["target"],
              "mobileDeviceId");
    EXPECT_EQ(running.adminRaw("GET", "authentications/nope").status, 404);
    EXPECT_EQ(running.adminRaw("GET", "uploads/123").status, 404);
    EXPECT_EQ(running.adminRaw("GET", "nothing-here").status, 404);
    const auto device = running.pair(TestKey::shared(0));
    EXPECT_EQ(running.adminPost("devices/" + device.id + "/authentications", {{"timeoutSeconds", -1}},
                                400)["details"][0]["target"],
              "timeoutSeconds");
    const auto reply = running.adminRaw("GET", "state");
    EXPECT_EQ(reply.headers.count("correlation-id"), 1u);
}

} // namespace
} // namespace velquor::service::test
