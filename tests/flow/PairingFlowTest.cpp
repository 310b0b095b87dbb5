// Pairing through an identity token: decoded on the caller's thread, nothing stored, every
// failure with its own internal code.
#include "flow/LogicLayer.hpp"
#include "jwt/JSONWebToken.hpp"
#include "log/MemoryLogSink.hpp"

#include "FoundationSupport.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace velquor::detail {
namespace {

struct Outcome {
    int calls = 0;
    std::optional<PairingObject> object;
    std::optional<Error> error;
    std::thread::id thread;
};

Outcome run(const std::string& token) {
    Outcome outcome;
    LogicLayer::pairWithIdToken(token, [&](std::optional<PairingObject> object, std::optional<Error> error) {
        ++outcome.calls;
        outcome.object = std::move(object);
        outcome.error = std::move(error);
        outcome.thread = std::this_thread::get_id();
    });
    return outcome;
}

std::string tokenWith(const Json& claims) {
    auto built = JSONWebToken::build(claims, std::nullopt, nullptr);
    EXPECT_TRUE(built);
    return built ? built->rawString() : std::string();
}

void expectFailure(const Outcome& outcome, int code, int internalCode) {
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_FALSE(outcome.object);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code(), code);
    EXPECT_EQ(outcome.error->userInfo()["internalErrorCode"], 20000 + internalCode);
}

TEST(PairingFlowIdToken, SuccessGivesAPairingObjectOnTheCallersThread) {
    test::ScopedLogSink log;
    Outcome outcome = run(
        tokenWith({{"sub", "user"}, {"vq.enrollment", {{"status", "SUCCESS"}, {"pairingKey", "02XYZ"}}}}));
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.thread, std::this_thread::get_id());
    EXPECT_FALSE(outcome.error);
    ASSERT_TRUE(outcome.object);
    EXPECT_EQ(outcome.object->pairingKey(), "02XYZ");
    EXPECT_TRUE(log->contains(R"(Successful JWT IDToken={"sub":"user","vq.enrollment")"));
    EXPECT_FALSE(log->contains("Velquor init")) << "no start-up";
}

TEST(PairingFlowIdToken, EachUndecodableTokenOrEnrollmentHasItsOwnCode) {
    for (const char* token : {"", "abc", "a.b", "!!!.e30.", "e30.e30.e30.e30"})
        expectFailure(run(token), 10005, 18);
    const std::pair<Json, int> enrollments[] = {
        {{{"status", 1}}, 29},
        {{{"error", {{"details", "x"}}}}, 29},
        // Neither a pairing key with SUCCESS nor an error object: the status decides.
        {{{"status", "SUCCESS"}}, 30},
        {{{"status", "PENDING"}, {"pairingKey", "01"}}, 30},
        {Json::object(), 31},
        {{{"pairingKey", "01"}, {"status", nullptr}}, 31},
    };
    for (const auto& [enrollment, internalCode] : enrollments) {
        SCOPED_TRACE(enrollment.dump());
        expectFailure(run(tokenWith({{"vq.enrollment", enrollment}})), 10000, internalCode);
    }
}

TEST(PairingFlowIdToken, MissingOrNonObjectEnrollmentAnswersNeitherObjectNorError) {
    for (const Json& claims : {Json{{"sub", "u"}}, Json{{"vq.enrollment", "text"}},
                               Json{{"vq.enrollment", Json::array()}}, Json{{"vq.enrollment", nullptr}}}) {
        Outcome outcome = run(tokenWith(claims));
        EXPECT_EQ(outcome.calls, 1) << claims;
        EXPECT_FALSE(outcome.object);
        EXPECT_FALSE(outcome.error);
    }
}

TEST(PairingFlowIdToken, ServiceErrorObjectIsAServerErrorRefinedByTheBuilder) {
    Json serviceError = {{"code", "OTHER"}, {"message", "no"}};
    Outcome plain = run(tokenWith({{"vq.enrollment", {{"status", "FAILED"}, {"error", serviceError}}}}));
    expectFailure(plain, 10003, 26);
    EXPECT_EQ(plain.error->userInfo()["type"], "server");
    EXPECT_EQ(plain.error->userInfo()["internalError"], serviceError);

    Json badKey = {{"code", "INVALID_DATA"}, {"details", Json::array({{{"target", "pairingKey"}}})}};
    expectFailure(run(tokenWith({{"vq.enrollment", {{"status", "FAILED"}, {"error", badKey}}}})), 10005, 26);
}

} // namespace
} // namespace velquor::detail
