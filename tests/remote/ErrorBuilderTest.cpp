#include "remote/ErrorBuilder.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

Json parse(const char* text) {
    return Json::parse(text);
}

TEST(ErrorBuilder, SdkShapeCarriesExactUserInfo) {
    Error error = ErrorBuilder::build(ErrorCode::internalFailure, 9);
    EXPECT_EQ(error.domain(), "VelquorErrorDomain");
    EXPECT_EQ(error.code(), 10000);
    EXPECT_EQ(
        error.userInfo(),
        parse(R"({"internalErrorCode": 20009, "type": "sdk", "NSLocalizedDescription": "Internal Error."})"));
    EXPECT_EQ(error.localizedDescription(), "Internal Error.");
    EXPECT_STREQ(error.what(), "Internal Error.");
    // The internal code covers the whole byte.
    EXPECT_EQ(ErrorBuilder::build(ErrorCode::internalFailure, 0).userInfo()["internalErrorCode"], 20000);
    EXPECT_EQ(ErrorBuilder::build(ErrorCode::internalFailure, 255).userInfo()["internalErrorCode"], 20255);
}

TEST(ErrorBuilder, EveryCodeHasItsMessage) {
    const std::pair<ErrorCode, const char*> table[] = {
        {ErrorCode::internalFailure, "Internal Error."},
        {ErrorCode::deviceTokenMissing, "Device token was missing and is required to complete this action."},
        {ErrorCode::notificationNotFromService, "Remote notification isn't from Velquor."},
        {ErrorCode::serverError, "There was a server error."},
        {ErrorCode::networkError, "There was a problem with the network."},
        {ErrorCode::pairingKeyError, "There was a problem with the pairing key."},
        {ErrorCode::bundleIdError, "There was a problem with the bundle id."},
        {ErrorCode::pairedInOtherRegion,
         "Device may be paired in one regional data center only, and is already "
         "paired in another regional data center."},
        {ErrorCode::deviceNotPaired, "Device is not paired."},
        {ErrorCode::pushConfirmationTimedOut, "Unknown error has occurred."},
    };
    for (const auto& [code, message] : table) {
        Error error = ErrorBuilder::build(code, 1);
        EXPECT_EQ(error.code(), static_cast<int>(code));
        EXPECT_EQ(error.localizedDescription(), message);
        EXPECT_EQ(error.userInfo()["NSLocalizedDescription"], message);
    }
}

struct Refinement {
    const char* serverError;
    int expectedCode;
};

class ErrorBuilderRefinement : public testing::TestWithParam<Refinement> {};

TEST_P(ErrorBuilderRefinement, ServerShapeRefinesTheCode) {
    Json object = parse(GetParam().serverError);
    Error error = ErrorBuilder::build(ErrorCode::serverError, 26, object);
    EXPECT_EQ(error.code(), GetParam().expectedCode) << GetParam().serverError;
    EXPECT_EQ(error.userInfo()["type"], "server");
    EXPECT_EQ(error.userInfo()["internalErrorCode"], 20026);
    EXPECT_EQ(error.userInfo()["internalError"], object) << "the object is kept unchanged";
    EXPECT_EQ(error.userInfo()["NSLocalizedDescription"], error.localizedDescription());
    // The refined code brings its own message.
    EXPECT_EQ(error.localizedDescription(),
              ErrorBuilder::build(*errorCodeFromRawValue(GetParam().expectedCode), 1).localizedDescription());
    EXPECT_EQ(error.userInfo().size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ErrorBuilderRefinement,
    testing::Values(
        Refinement{R"({"code": "INVALID_DATA", "details": [{"target": "pairingKey"}]})", 10005},
        Refinement{R"({"code": "INVALID_DATA", "details": [{"target": "bundleId"}]})", 10006},
        Refinement{R"({"code": "INVALID_DATA", "details": [{"target": "name"}]})", 10003},
        Refinement{R"({"code": "OTHER", "details": [{"target": "pairingKey"}]})", 10003},
        Refinement{R"({"code": "invalid_data", "details": [{"target": "pairingKey"}]})", 10003},
        Refinement{R"({"details": [{"target": "pairingKey"}]})", 10003},
        // Only the first detail counts.
        Refinement{R"({"code": "INVALID_DATA", "details": [{"target": "name"}, {"target": "pairingKey"}]})",
                   10003},
        Refinement{R"({"code": "INVALID_DATA", "details": [{}, {"target": "bundleId"}]})", 10003},
        Refinement{R"({"code": "INVALID_DATA", "details": [{"target": null}]})", 10003},
        Refinement{R"({"code": "INVALID_DATA", "details": []})", 10003},
        Refinement{R"({"code": "INVALID_DATA", "details": null})", 10003},
        Refinement{R"({"code": "INVALID_DATA"})", 10003},
        // The timed-out answer ignores the top-level code and wins over the target rule.
        Refinement{R"({"details": [{"innerError": {"actual": "PUSH_CONFIRMATION_TIMED_OUT"}}]})", 10009},
        Refinement{R"({"code": "INVALID_DATA", "details": [{"target": "pairingKey",
                      "innerError": {"actual": "PUSH_CONFIRMATION_TIMED_OUT"}}]})",
                   10009},
        Refinement{R"({"details": [{"innerError": {"actual": "push_confirmation_timed_out"}}]})", 10003},
        Refinement{R"({"details": [{"innerError": {"expected": "PUSH_CONFIRMATION_TIMED_OUT"}}]})", 10003},
        Refinement{R"({"details": [{"innerError": {"actual": null}}]})", 10003},
        Refinement{R"({"details": [{}, {"innerError": {"actual": "PUSH_CONFIRMATION_TIMED_OUT"}}]})", 10003},
        // An object that does not decode keeps the caller's code but still counts as "server".
        Refinement{R"({"code": 5, "details": [{"target": "pairingKey"}]})", 10003},
        Refinement{R"({"code": "INVALID_DATA", "details": [{"target": 1}]})", 10003},
        Refinement{R"({"details": [{"innerError": "PUSH_CONFIRMATION_TIMED_OUT"}]})", 10003},
        Refinement{R"({"details": {"target": "pairingKey"}})", 10003},
        Refinement{R"({"code": "INVALID_DATA", "details": [{"target": "pairingKey"}], "extra": [1, 2]})",
                   10005}));

TEST(ErrorBuilder, ServerObjectThatCannotBeRefinedKeepsTheCode) {
    // Text that is not UTF-8 cannot be written as JSON: no refinement, nothing thrown.
    Json object = {{"code", "INVALID_DATA"},
                   {"details", Json::array({{{"target", "pairingKey"}}})},
                   {"message", std::string("bad \xFF byte")}};
    Error error = ErrorBuilder::build(ErrorCode::serverError, 11, object);
    EXPECT_EQ(error.code(), 10003);
    EXPECT_EQ(error.userInfo()["type"], "server");

    Error array = ErrorBuilder::build(ErrorCode::serverError, 11, Json::array({1, 2}));
    EXPECT_EQ(array.code(), 10003);
    EXPECT_EQ(array.userInfo()["type"], "server");
    EXPECT_EQ(array.userInfo()["internalError"], Json::array({1, 2}));
}

TEST(ErrorBuilder, OsShapeDescribesTheUnderlyingError) {
    PlatformError underlying{"NSURLErrorDomain", -1001, "The request timed out."};
    Error error = ErrorBuilder::build(ErrorCode::serverError, 14, std::nullopt, underlying);
    EXPECT_EQ(error.code(), 10003);
    EXPECT_EQ(error.userInfo(), parse(R"({"internalErrorCode": 20014, "type": "os",
        "internalError": {"key": -1001, "domain": "NSURLErrorDomain", "localizedDescription": "The request timed out."},
        "NSLocalizedDescription": "There was a server error."})"));
    // "key", not "code".
    EXPECT_FALSE(error.userInfo()["internalError"].contains("code"));
}

TEST(ErrorBuilder, ErrorCodeFromRawValueAcceptsExactlyTheTenCodes) {
    EXPECT_FALSE(errorCodeFromRawValue(9999));
    EXPECT_FALSE(errorCodeFromRawValue(10010));
    EXPECT_FALSE(errorCodeFromRawValue(-10000));
    for (long raw = 10000; raw <= 10009; ++raw)
        EXPECT_EQ(static_cast<long>(*errorCodeFromRawValue(raw)), raw);
}

} // namespace
} // namespace velquor::detail
