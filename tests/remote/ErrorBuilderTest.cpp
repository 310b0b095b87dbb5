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

// Exactly the ten codes exist, each with its message.
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
        EXPECT_EQ(errorCodeFromRawValue(static_cast<long>(code)), code) << message;
        Error error = ErrorBuilder::build(code, 1);
        EXPECT_EQ(error.code(), static_cast<int>(code));
        EXPECT_EQ(error.localizedDescription(), message);
        EXPECT_EQ(error.userInfo()["NSLocalizedDescription"], message);
    }
    for (long raw : {9999L, 10010L, -10000L})
        EXPECT_FALSE(errorCodeFromRawValue(raw)) << raw;
}

// The server shape keeps the object unchanged and refines the code from its first detail.
TEST(ErrorBuilder, ServerShapeRefinesTheCode) {
    const std::pair<const char*, int> cases[] = {
        {R"({"code": "INVALID_DATA", "details": [{"target": "pairingKey"}]})", 10005},
        {R"({"code": "INVALID_DATA", "details": [{"target": "bundleId"}]})", 10006},
        {R"({"code": "INVALID_DATA", "details": [{"target": "name"}]})", 10003},
        {R"({"code": "OTHER", "details": [{"target": "pairingKey"}]})", 10003},
        {R"({"code": "invalid_data", "details": [{"target": "pairingKey"}]})", 10003},
        {R"({"details": [{"target": "pairingKey"}]})", 10003},
        // Only the first detail counts.
        {R"({"code": "INVALID_DATA", "details": [{"target": "name"}, {"target": "pairingKey"}]})", 10003},
        {R"({"code": "INVALID_DATA", "details": [{}, {"target": "bundleId"}]})", 10003},
        {R"({"code": "INVALID_DATA", "details": [{"target": null}]})", 10003},
        {R"({"code": "INVALID_DATA", "details": []})", 10003},
        {R"({"code": "INVALID_DATA", "details": null})", 10003},
        {R"({"code": "INVALID_DATA"})", 10003},
        // The timed-out answer ignores the top-level code and wins over the target rule.
        {R"({"details": [{"innerError": {"actual": "PUSH_CONFIRMATION_TIMED_OUT"}}]})", 10009},
        {R"({"code": "INVALID_DATA", "details": [{"target": "pairingKey",
            "innerError": {"actual": "PUSH_CONFIRMATION_TIMED_OUT"}}]})",
         10009},
        {R"({"details": [{"innerError": {"actual": "push_confirmation_timed_out"}}]})", 10003},
        {R"({"details": [{"innerError": {"expected": "PUSH_CONFIRMATION_TIMED_OUT"}}]})", 10003},
        {R"({"details": [{"innerError": {"actual": null}}]})", 10003},
        {R"({"details": [{}, {"innerError": {"actual": "PUSH_CONFIRMATION_TIMED_OUT"}}]})", 10003},
        // An object that does not decode keeps the caller's code but still counts as "server".
        {R"({"code": 5, "details": [{"target": "pairingKey"}]})", 10003},
        {R"({"code": "INVALID_DATA", "details": [{"target": 1}]})", 10003},
        {R"({"details": [{"innerError": "PUSH_CONFIRMATION_TIMED_OUT"}]})", 10003},
        {R"({"details": {"target": "pairingKey"}})", 10003},
        {R"([1, 2])", 10003},
        {R"({"code": "INVALID_DATA", "details": [{"target": "pairingKey"}], "extra": [1, 2]})", 10005}};
    for (const auto& [text, expectedCode] : cases) {
        SCOPED_TRACE(text);
        Json object = parse(text);
        Error error = ErrorBuilder::build(ErrorCode::serverError, 26, object);
        EXPECT_EQ(error.code(), expectedCode);
        EXPECT_EQ(error.userInfo()["type"], "server");
        EXPECT_EQ(error.userInfo()["internalErrorCode"], 20026);
        EXPECT_EQ(error.userInfo()["internalError"], object);
        EXPECT_EQ(error.userInfo()["NSLocalizedDescription"], error.localizedDescription());
        // The refined code brings its own message.
        EXPECT_EQ(error.localizedDescription(),
                  ErrorBuilder::build(*errorCodeFromRawValue(expectedCode), 1).localizedDescription());
        EXPECT_EQ(error.userInfo().size(), 4u);
    }
}

TEST(ErrorBuilder, ServerObjectThatCannotBeRefinedKeepsTheCode) {
    // Text that is not UTF-8 cannot be written as JSON: no refinement, nothing thrown.
    Json object = {{"code", "INVALID_DATA"},
                   {"details", Json::array({{{"target", "pairingKey"}}})},
                   {"message", std::string("bad \xFF byte")}};
    Error error = ErrorBuilder::build(ErrorCode::serverError, 11, object);
    EXPECT_EQ(error.code(), 10003);
    EXPECT_EQ(error.userInfo()["type"], "server");
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

} // namespace
} // namespace velquor::detail
