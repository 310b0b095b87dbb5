#include "remote/ErrorBuilder.hpp"
#include "flow/FlowErrors.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>

namespace velquor::detail {
namespace {

// Each code with its message is the error reference's test below.
TEST(ErrorBuilder, SdkAndOsShapesCarryExactUserInfo) {
    Error error = ErrorBuilder::build(ErrorCode::internalFailure, 9);
    EXPECT_EQ(error.domain(), "VelquorErrorDomain");
    EXPECT_EQ(error.userInfo(), Json::parse(R"({"internalErrorCode": 20009, "type": "sdk",
        "NSLocalizedDescription": "Internal Error."})"));
    EXPECT_STREQ(error.what(), "Internal Error.");
    // The internal code covers the whole byte.
    EXPECT_EQ(ErrorBuilder::build(ErrorCode::internalFailure, 0).userInfo()["internalErrorCode"], 20000);
    EXPECT_EQ(ErrorBuilder::build(ErrorCode::internalFailure, 255).userInfo()["internalErrorCode"], 20255);

    PlatformError underlying{"NSURLErrorDomain", -1001, "The request timed out."};
    error = ErrorBuilder::build(ErrorCode::serverError, 14, std::nullopt, underlying);
    EXPECT_EQ(error.code(), 10003);
    // Under "key", not "code".
    EXPECT_EQ(error.userInfo(), Json::parse(R"({"internalErrorCode": 20014, "type": "os",
        "internalError": {"key": -1001, "domain": "NSURLErrorDomain", "localizedDescription": "The request timed out."},
        "NSLocalizedDescription": "There was a server error."})"));
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
        // An object that does not decode (the wire model's rules) keeps the caller's code but still
        // counts as "server".
        {R"({"code": 5, "details": [{"target": "pairingKey"}]})", 10003},
        {R"({"details": [{"innerError": "PUSH_CONFIRMATION_TIMED_OUT"}]})", 10003},
        {R"([1, 2])", 10003},
        {R"({"code": "INVALID_DATA", "details": [{"target": "pairingKey"}], "extra": [1, 2]})", 10005}};
    for (const auto& [text, expectedCode] : cases) {
        SCOPED_TRACE(text);
        Json object = Json::parse(text);
        Error error = ErrorBuilder::build(ErrorCode::serverError, 26, object);
        EXPECT_EQ(error.code(), expectedCode);
        // The refined code brings its own message.
        const auto message =
            ErrorBuilder::build(*errorCodeFromRawValue(expectedCode), 1).localizedDescription();
        EXPECT_EQ(error.localizedDescription(), message);
        EXPECT_EQ(error.userInfo(), Json({{"internalErrorCode", 20026},
                                          {"type", "server"},
                                          {"internalError", object},
                                          {"NSLocalizedDescription", message}}));
    }
    // Text that is not UTF-8 cannot be written as JSON: no refinement, nothing thrown.
    const Error error = ErrorBuilder::build(ErrorCode::serverError, 11,
                                            Json{{"code", "INVALID_DATA"},
                                                 {"details", Json::array({{{"target", "pairingKey"}}})},
                                                 {"message", "bad \xFF"}});
    EXPECT_EQ(error.code(), 10003);
    EXPECT_EQ(error.userInfo()["type"], "server");
}

// docs/ERRORS.md, the hosts' error reference, names exactly the codes the builder makes.
// The trimmed cells of the rows of the section `heading` whose first cell is a number.
std::vector<std::vector<std::string>> rows(const std::string& heading) {
    std::ifstream file(VELQUOR_SOURCE_DIR "/docs/ERRORS.md");
    std::vector<std::vector<std::string>> found;
    bool inSection = false;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("## ", 0) == 0)
            inSection = line == "## " + heading;
        else if (inSection && std::regex_search(line, std::regex("^\\| [0-9]"))) {
            const std::regex cell(" *([^|]*[^| ]) *\\|");
            auto& cells = found.emplace_back();
            for (std::sregex_iterator it(line.begin() + 1, line.end(), cell), end; it != end; ++it)
                cells.push_back((*it)[1]);
        }
    }
    return found;
}

// Each code the builder makes, with the message it carries, and no other.
TEST(ErrorsDocument, ListsExactlyTheBuildersCodesWithTheirMessagesAndEachInternalCodeOnce) {
    std::map<long, std::string> built;
    for (long raw = -20000; raw < 20000; ++raw)
        if (auto code = errorCodeFromRawValue(raw)) {
            const Error error = ErrorBuilder::build(*code, 0);
            EXPECT_EQ(error.code(), raw);
            EXPECT_EQ(error.userInfo()["NSLocalizedDescription"], error.localizedDescription());
            built[raw] = '"' + error.localizedDescription() + '"';
        }
    std::map<long, std::string> documented;
    for (const auto& cells : rows("Public codes"))
        EXPECT_TRUE(documented.emplace(std::stol(cells.at(0)), cells.at(2)).second) << cells[0] << " twice";
    EXPECT_EQ(documented, built);

    // Internal codes: each listed once, published as documented, naming public codes that exist.
    std::set<int> seen;
    const std::regex publicCode("100[0-9][0-9]");
    for (const auto& cells : rows("Internal codes")) {
        const int code = std::stoi(cells.at(0));
        EXPECT_TRUE(seen.insert(code).second) << code << " is listed twice";
        ASSERT_LE(code, 255);
        EXPECT_EQ(cells.at(1), std::to_string(20000 + code)); // the published "internalErrorCode"
        for (std::sregex_iterator it(cells.at(2).begin(), cells[2].end(), publicCode), end; it != end; ++it)
            EXPECT_TRUE(errorCodeFromRawValue(std::stol(it->str())))
                << code << ": no public code " << it->str();
    }
    EXPECT_TRUE(seen.count(kLayerGoneInternalCode) && seen.count(kUnexpectedFailureInternalCode));
    EXPECT_GT(seen.size(), 50u); // the table was found and read
}

} // namespace
} // namespace velquor::detail
