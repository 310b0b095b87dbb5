#include "remote/wire/DevicesResponse.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

struct DevicesCase {
    const char* device; // one element of "devices"
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
        DevicesCase{R"({"createdAt": 1700000000000, "updatedAt": -3})", true},
        DevicesCase{R"({"createdAt": 9223372036854775807})", true},
        DevicesCase{R"({"createdAt": 9223372036854775808})", false},
        DevicesCase{R"({"createdAt": 1.5})", false}, DevicesCase{R"({"createdAt": 1.0})", false},
        DevicesCase{R"({"updatedAt": 1e3})", false}, DevicesCase{R"({"updatedAt": "1"})", false},
        DevicesCase{R"({"environment": "prod"})", false}, DevicesCase{R"({"user": {"id": 7}})", false},
        DevicesCase{R"({"logs": {"receivedAt": 2.5}})", false},
        DevicesCase{R"({"logs": null, "user": null, "status": null, "extra": {"a": 1}})", true},
        DevicesCase{R"("device")", false}, DevicesCase{"null", false}));

TEST(DevicesResponseTest, ReadsNestedRecordsAndIgnoresMembersSpelledOtherwise) {
    auto reply = DevicesResponse::decode(std::string_view(
        R"({"public": {}, "devices": [{"id": "d", "application": {"id": "a"}, "createdAt": 5,
            "logs": {"status": "PENDING", "level": "debug", "supportId": "x", "receivedAt": 9}}]})"));
    ASSERT_TRUE(reply && reply->devices && reply->devices->size() == 1);
    const Device& device = reply->devices->front();
    EXPECT_EQ(device.application->id, "a");
    EXPECT_EQ(device.createdAt, 5);
    EXPECT_EQ(device.logs->status, "PENDING");
    EXPECT_EQ(device.logs->receivedAt, 9);
    EXPECT_FALSE(device.logs->supportID) << "the member is \"supportID\"";
    EXPECT_EQ(reply->encode(),
              (Json{{"devices",
                     {{{"id", "d"},
                       {"logs", {{"status", "PENDING"}, {"level", "debug"}, {"receivedAt", 9}}},
                       {"createdAt", 5},
                       {"application", {{"id", "a"}}}}}}}));

    auto none = DevicesResponse::decode(std::string_view(R"({"devices": null})"));
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->devices);
}

} // namespace
} // namespace velquor::detail
