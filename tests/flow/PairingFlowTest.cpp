// Pairing through an identity token: decoded on the caller's thread, nothing stored, every
// failure with its own internal code.
#include "FlowTestSupport.hpp"
#include "jwt/JSONWebToken.hpp"

namespace velquor::detail {
namespace {

// The one answer to pairWithIdToken for a token with `claims` (a text: the token itself), given
// before it returned.
Call<PairingObject> run(const Json& claims) {
    std::string token = claims.is_string() ? claims.get<std::string>() : "";
    if (!claims.is_string()) {
        auto built = JSONWebToken::build(claims, std::nullopt, nullptr);
        EXPECT_TRUE(built);
        token = built ? built->rawString() : "";
    }
    test::Delivery<Call<PairingObject>> delivery;
    LogicLayer::pairWithIdToken(token, recorder(delivery));
    EXPECT_EQ(delivery.count(), 1);
    auto call = delivery.wait(std::chrono::seconds(0)).value_or(Call<PairingObject>{});
    EXPECT_EQ(call.thread, std::this_thread::get_id());
    return call;
}

Json enrollment(const Json& value) {
    return {{"vq.enrollment", value}};
}

// A pairing key with SUCCESS gives a pairing object and starts nothing; a missing or non-object
// enrollment answers neither object nor error (code 0); every failure has its own code, a service
// error object being a server error refined by the builder.
TEST(PairingFlowIdToken, EachTokenHasItsOwnAnswer) {
    test::ScopedLogSink log;
    const auto success =
        run({{"sub", "user"}, {"vq.enrollment", {{"status", "SUCCESS"}, {"pairingKey", "02XYZ"}}}});
    EXPECT_FALSE(success.error);
    EXPECT_EQ(success.value.value().pairingKey(), "02XYZ");
    EXPECT_TRUE(log->contains(R"(Successful JWT IDToken={"sub":"user","vq.enrollment")"));
    EXPECT_FALSE(log->contains("Velquor init")) << "no start-up";

    const Json serviceError = {{"code", "OTHER"}, {"message", "no"}};
    const Json badKey = {{"code", "INVALID_DATA"}, {"details", Json::array({{{"target", "pairingKey"}}})}};
    const std::tuple<Json, int, int> cases[] = {
        {Json{{"sub", "u"}}, 0, 0},
        {enrollment("text"), 0, 0},
        {enrollment(Json::array()), 0, 0},
        {enrollment(nullptr), 0, 0},
        {"", 10005, 18},
        {"abc", 10005, 18},
        {"a.b", 10005, 18},
        {"!!!.e30.", 10005, 18},
        {"e30.e30.e30.e30", 10005, 18},
        {enrollment({{"status", 1}}), 10000, 29},
        {enrollment({{"error", {{"details", "x"}}}}), 10000, 29},
        // Neither a pairing key with SUCCESS nor an error object: the status decides.
        {enrollment({{"status", "SUCCESS"}}), 10000, 30},
        {enrollment({{"status", "PENDING"}, {"pairingKey", "01"}}), 10000, 30},
        {enrollment(Json::object()), 10000, 31},
        {enrollment({{"pairingKey", "01"}, {"status", nullptr}}), 10000, 31},
        {enrollment({{"status", "FAILED"}, {"error", serviceError}}), 10003, 26},
        {enrollment({{"status", "FAILED"}, {"error", badKey}}), 10005, 26},
    };
    for (const auto& [claims, code, internalCode] : cases) {
        SCOPED_TRACE(claims.dump());
        const auto call = run(claims);
        EXPECT_FALSE(call.value);
        EXPECT_EQ(call.error ? Json({call.error->code(), call.error->userInfo()["internalErrorCode"]})
                             : Json(),
                  code ? Json({code, 20000 + internalCode}) : Json());
        if (code == 10003) {
            EXPECT_EQ(call.error->userInfo()["type"], "server");
            EXPECT_EQ(call.error->userInfo()["internalError"], serviceError);
        }
    }
}

} // namespace
} // namespace velquor::detail
