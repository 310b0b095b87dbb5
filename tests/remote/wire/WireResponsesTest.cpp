// The service's replies as wire models: each decodes whole or not at all, and what decodes is
// written back under the same names.
#include "remote/wire/DevicesResponse.hpp"
#include "remote/wire/EnrollmentResponse.hpp"
#include "remote/wire/PairingResponse.hpp"
#include "remote/wire/ServerErrorResponse.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

// One bad member of one device (the second element of "devices") fails the whole reply.
TEST(DevicesResponseTest, OneDeviceDecidesForTheWholeReplyAndNamesAreExact) {
    const std::pair<const char*, bool> cases[] = {
        {R"({"createdAt": 9223372036854775807, "updatedAt": -3})", true},
        {R"({"createdAt": 9223372036854775808})", false},
        {R"({"createdAt": 1.0})", false},
        {R"({"updatedAt": 1e3})", false},
        {R"({"updatedAt": "1"})", false},
        {R"({"environment": "prod"})", false},
        {R"({"user": {"id": 7}})", false},
        {R"({"logs": {"receivedAt": 2.5}})", false},
        {R"({"logs": null, "user": null, "status": null, "extra": {"a": 1}})", true},
        {"null", false}};
    for (const auto& [device, decodes] : cases) {
        const std::string text = std::string(R"({"devices": [{"id": "ok"}, )") + device + "]}";
        EXPECT_EQ(DevicesResponse::decode(std::string_view(text)).has_value(), decodes) << text;
    }
    // What decodes is read and written under the exact names.
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

TEST(PairingResponseTest, DecodesWholeOrNotAtAll) {
    for (const char* text :
         {R"({"id": "a", "status": "b", "mobileDevice": {"id": 1}})",
          R"({"id": "a", "status": "b", "installedApplication": "i"})",
          R"({"id": "a", "status": "b", "serverPublicKey": {}})", R"({"id": null, "status": "b"})",
          R"({"id": "a"})", R"(["id", "status"])", R"({"id": "a", "status": )"})
        EXPECT_FALSE(PairingResponse::decode(std::string_view(text))) << text;
    const Json full = Json::parse(R"({"mobileDevice": {"id": "D", "marketingName": "M"},
        "installedApplication": {"id": "A"}, "id": "X", "status": "S", "serverPublicKey": "K"})");
    EXPECT_EQ(PairingResponse::decode(full)->encode(), full);
    EXPECT_EQ(
        PairingResponse::decode(Json::parse(R"({"id": "X", "status": "S", "mobileDevice": {}, "x": 1})"))
            ->encode(),
        Json::parse(R"({"mobileDevice": {}, "id": "X", "status": "S"})"));
}

// Missing, null and unknown members are left out when written back; an empty inner error is kept.
TEST(ServerErrorResponseTest, ReadsEveryMemberWritesBackWhatIsPresentAndFailsWhole) {
    const Json full = Json::parse(R"({"code": "INVALID_DATA", "message": "bad", "id": "42",
        "details": [{"code": "C", "message": "M", "target": "pairingKey",
                     "innerError": {"expected": "E", "actual": "A"}}, {"innerError": {}}, {}]})");
    EXPECT_EQ(ServerErrorResponse::decode(full)->encode(), full);
    const std::pair<const char*, const char*> partial[] = {
        {R"({})", "{}"},
        {R"({"details": null, "id": null, "code": null, "message": null, "other": 1})", "{}"},
        {R"({"code": "X", "details": [{"innerError": null, "target": null, "extra": [1]}]})",
         R"({"code": "X", "details": [{}]})"},
        {R"({"details": [{"innerError": {"actual": "A", "more": {}}}]})",
         R"({"details": [{"innerError": {"actual": "A"}}]})"}};
    for (const auto& [text, written] : partial)
        EXPECT_EQ(ServerErrorResponse::decode(std::string_view(text))->encode(), Json::parse(written))
            << text;
    // A wrong type anywhere fails the whole decoding.
    for (const char* text : {R"({"code": 5})", R"({"id": 1})", R"({"message": ["x"]})", R"({"details": {}})",
                             R"({"details": "none"})", R"({"details": [null]})", R"({"details": [5]})",
                             R"({"details": [{}, {"target": true}]})", R"({"details": [{"code": 1}]})",
                             R"({"details": [{"message": {}}]})", R"({"details": [{"innerError": "x"}]})",
                             R"({"details": [{"innerError": {"actual": 3}}]})",
                             R"({"details": [{"innerError": {"expected": false}}]})", R"([])", R"("text")",
                             R"(null)", R"(not json)", ""})
        EXPECT_FALSE(ServerErrorResponse::decode(std::string_view(text))) << text;
}

TEST(EnrollmentResponseTest, DecodesWithANestedServerError) {
    const Json full = Json::parse(R"({"pairingKey": "01AB", "status": "SUCCESS", "error": {"code": "X"}})");
    auto withNull = full;
    withNull["message"] = nullptr;
    EXPECT_EQ(EnrollmentResponse::decode(withNull)->encode(), full);
    for (const char* text : {R"({"status": 1})", R"({"error": {"details": 1}})", R"({"error": "text"})"})
        EXPECT_FALSE(EnrollmentResponse::decode(Json::parse(text))) << text;
}

} // namespace
} // namespace velquor::detail
