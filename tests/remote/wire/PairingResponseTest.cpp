#include "remote/wire/PairingResponse.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

struct PairingCase {
    const char* json;
    bool decodes;
};

class PairingResponseDecoding : public ::testing::TestWithParam<PairingCase> {};

TEST_P(PairingResponseDecoding, DecodesOrFailsAsAWhole) {
    EXPECT_EQ(PairingResponse::decode(std::string_view(GetParam().json)).has_value(), GetParam().decodes);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PairingResponseDecoding,
    ::testing::Values(PairingCase{R"({"id": "a", "status": "b"})", true},
                      PairingCase{R"({"id": "a", "status": "b", "mobileDevice": null, "x": [1]})", true},
                      PairingCase{R"({"id": "a"})", false}, PairingCase{R"({"id": 5, "status": "b"})", false},
                      PairingCase{R"({"id": null, "status": "b"})", false},
                      PairingCase{R"({"id": "a", "status": "b", "mobileDevice": {"id": 1}})", false},
                      PairingCase{R"({"id": "a", "status": "b", "installedApplication": "i"})", false},
                      PairingCase{R"({"id": "a", "status": "b", "serverPublicKey": {}})", false},
                      PairingCase{R"(["id", "status"])", false},
                      PairingCase{R"({"id": "a", "status": )", false}));

TEST(PairingResponseTest, ReadsEveryMemberAndWritesThemBackUnderTheSameNames) {
    const Json json = {{"mobileDevice", {{"id", "D1"}, {"marketingName", "Phone"}}},
                       {"installedApplication", {{"id", "A1"}}},
                       {"id", "X1"},
                       {"status", "PENDING_ACK"},
                       {"serverPublicKey", "MIIB"}};
    auto reply = PairingResponse::decode(json);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->mobileDevice->marketingName, "Phone");
    EXPECT_EQ(reply->installedApplication->id, "A1");
    EXPECT_EQ(reply->encode(), json);

    auto bare = PairingResponse::decode(Json{{"id", "a"}, {"status", "b"}, {"mobileDevice", {{"id", "D1"}}}});
    ASSERT_TRUE(bare);
    EXPECT_FALSE(bare->installedApplication);
    EXPECT_FALSE(bare->serverPublicKey);
    EXPECT_EQ(bare->encode(), (Json{{"mobileDevice", {{"id", "D1"}}}, {"id", "a"}, {"status", "b"}}));
}

} // namespace
} // namespace velquor::detail
