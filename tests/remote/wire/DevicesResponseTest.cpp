#include "remote/wire/DevicesResponse.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

struct DevicesCase {
    const char* device; // the second element of "devices"
    bool decodes;
};

class DevicesResponseDecoding : public ::testing::TestWithParam<DevicesCase> {};

// One bad member of one device fails the whole reply.
TEST_P(DevicesResponseDecoding, OneDeviceDecidesForTheWholeReply) {
    const std::string text = std::string(R"({"devices": [{"id": "ok"}, )") + GetParam().device + "]}";
    EXPECT_EQ(DevicesResponse::decode(std::string_view(text)).has_value(), GetParam().decodes) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, DevicesResponseDecoding,
    ::testing::Values(
        DevicesCase{R"({"createdAt": 9223372036854775807, "updatedAt": -3})", true},
        DevicesCase{R"({"createdAt": 9223372036854775808})", false},
        DevicesCase{R"({"createdAt": 1.0})", false}, DevicesCase{R"({"updatedAt": 1e3})", false},
        DevicesCase{R"({"updatedAt": "1"})", false}, DevicesCase{R"({"environment": "prod"})", false},
        DevicesCase{R"({"user": {"id": 7}})", false}, DevicesCase{R"({"logs": {"receivedAt": 2.5}})", false},
        DevicesCase{R"({"logs": null, "user": null, "status": null, "extra": {"a": 1}})", true},
        DevicesCase{"null", false}));

TEST(DevicesResponseTest, ReadsNestedRecordsUnderTheirExactNames) {
    const Json full =
        Json::parse(R"({"devices": [{"id": "d", "environment": {"id": "e"}, "logs": {"status": "PENDING",
        "level": "debug", "supportID": "s", "receivedAt": 9}, "status": "ACTIVE", "createdAt": 5, "updatedAt": 6,
        "user": {"id": "u"}, "application": {"id": "a"}}]})");
    EXPECT_EQ(DevicesResponse::decode(full)->encode(), full);
    auto spelledOtherwise =
        DevicesResponse::decode(Json::parse(R"({"devices": [{"logs": {"supportId": "x"}}]})"));
    EXPECT_FALSE(spelledOtherwise->devices->front().logs->supportID);
    EXPECT_FALSE(DevicesResponse::decode(Json::parse(R"({"devices": null})"))->devices);
}

} // namespace
} // namespace velquor::detail
