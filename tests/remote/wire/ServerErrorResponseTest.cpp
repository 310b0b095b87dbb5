#include "remote/wire/ServerErrorResponse.hpp"
#include "remote/wire/EnrollmentResponse.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

std::optional<ServerErrorResponse> decode(const char* text) {
    return ServerErrorResponse::decode(std::string_view(text));
}

TEST(ServerErrorResponse, DecodesEveryMemberAndNesting) {
    auto response = decode(R"({"code": "INVALID_DATA", "message": "bad", "id": "42",
        "details": [{"code": "C", "message": "M", "target": "pairingKey",
                     "innerError": {"expected": "E", "actual": "A"}}, {}]})");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->code, "INVALID_DATA");
    EXPECT_EQ(response->message, "bad");
    EXPECT_EQ(response->id, "42");
    ASSERT_TRUE(response->details);
    ASSERT_EQ(response->details->size(), 2u);
    const Details& first = response->details->front();
    EXPECT_EQ(first.code, "C");
    EXPECT_EQ(first.message, "M");
    EXPECT_EQ(first.target, "pairingKey");
    ASSERT_TRUE(first.innerError);
    EXPECT_EQ(first.innerError->expected, "E");
    EXPECT_EQ(first.innerError->actual, "A");
    const Details& second = response->details->back();
    EXPECT_FALSE(second.code || second.message || second.target || second.innerError);
}

TEST(ServerErrorResponse, MissingAndNullLeaveFieldsAbsent) {
    for (const char* text : {R"({})", R"({"details": null, "id": null, "code": null, "message": null})"}) {
        auto response = decode(text);
        ASSERT_TRUE(response) << text;
        EXPECT_FALSE(response->details || response->id || response->code || response->message) << text;
    }
    auto inner = decode(R"({"details": [{"innerError": null, "target": null}]})");
    ASSERT_TRUE(inner);
    EXPECT_FALSE(inner->details->front().innerError);
    EXPECT_FALSE(inner->details->front().target);
    auto empty = decode(R"({"details": [{"innerError": {}}]})");
    ASSERT_TRUE(empty);
    ASSERT_TRUE(empty->details->front().innerError);
    EXPECT_FALSE(empty->details->front().innerError->actual);
}

TEST(ServerErrorResponse, WrongTypeAnywhereFailsTheWholeDecoding) {
    for (const char* text : {
             R"({"code": 5})",
             R"({"id": 1})",
             R"({"message": ["x"]})",
             R"({"details": {}})",
             R"({"details": "none"})",
             R"({"details": [null]})",
             R"({"details": [5]})",
             R"({"details": [{}, {"target": true}]})",
             R"({"details": [{"code": 1}]})",
             R"({"details": [{"message": {}}]})",
             R"({"details": [{"innerError": "x"}]})",
             R"({"details": [{"innerError": {"actual": 3}}]})",
             R"({"details": [{"innerError": {"expected": false}}]})",
             R"([])",
             R"("text")",
             R"(null)",
             R"(not json)",
             "",
         })
        EXPECT_FALSE(decode(text)) << text;
}

TEST(ServerErrorResponse, IgnoresUnknownMembers) {
    auto response =
        decode(R"({"code": "X", "other": 1, "details": [{"extra": [1], "innerError": {"more": {}}}]})");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->code, "X");
    ASSERT_EQ(response->details->size(), 1u);
}

TEST(ServerErrorResponse, EncodesUnderTheSameNamesLeavingOutAbsentFields) {
    auto response = decode(
        R"({"code": "INVALID_DATA", "details": [{"target": "bundleId", "innerError": {"actual": "A"}}]})");
    ASSERT_TRUE(response);
    EXPECT_EQ(
        response->encode(),
        Json::parse(
            R"({"code": "INVALID_DATA", "details": [{"target": "bundleId", "innerError": {"actual": "A"}}]})"));
    EXPECT_EQ(ServerErrorResponse{}.encode(), Json::object());
}

TEST(EnrollmentResponse, DecodesWithNestedServerError) {
    auto enrollment = EnrollmentResponse::decode(Json::parse(
        R"({"pairingKey": "01AB", "status": "SUCCESS", "message": null, "error": {"code": "X"}})"));
    ASSERT_TRUE(enrollment);
    EXPECT_EQ(enrollment->pairingKey, "01AB");
    EXPECT_EQ(enrollment->status, "SUCCESS");
    EXPECT_FALSE(enrollment->message);
    ASSERT_TRUE(enrollment->error);
    EXPECT_EQ(enrollment->error->code, "X");
    EXPECT_FALSE(EnrollmentResponse::decode(Json::parse(R"({"status": 1})")));
    EXPECT_FALSE(EnrollmentResponse::decode(Json::parse(R"({"error": {"details": 1}})")));
    EXPECT_FALSE(EnrollmentResponse::decode(Json::parse(R"({"error": "text"})")));
}

} // namespace
} // namespace velquor::detail
