// Every reader of outside JSON refuses nesting past 64 levels as its ordinary parse failure, and
// does so without recursing: each case runs on a 256 KiB thread stack (run it under the asan
// preset too), where the 100,000-deep texts used to overflow.
#include "util/BoundedJson.hpp"

#include "flow/LogicLayer.hpp"
#include "jwt/JSONWebToken.hpp"
#include "remote/wire/EnrollmentResponse.hpp"
#include "remote/wire/ServerErrorResponse.hpp"
#include "util/Base64URL.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

// `depth` nested arrays, or objects holding the next level under "e".
std::string nested(std::size_t depth, bool objects) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i)
        text += objects ? "{\"e\":" : "[";
    text += "1";
    for (std::size_t i = 0; i < depth; ++i)
        text += objects ? "}" : "]";
    return text;
}

struct DepthCase {
    std::size_t depth;
    bool accepted;
};

class BoundedJsonDepth : public ::testing::TestWithParam<DepthCase> {};

TEST_P(BoundedJsonDepth, EveryOutsideReaderAcceptsUpTo64Levels) {
    const auto [depth, accepted] = GetParam();
    test::runOnSmallStack([&, depth = depth, accepted = accepted] {
        for (bool objects : {false, true}) {
            const auto text = nested(depth, objects);
            const auto parsed = BoundedJson::parse(text);
            EXPECT_EQ(parsed.value.has_value(), accepted) << depth << (objects ? " objects" : " arrays");
            if (!accepted) {
                EXPECT_EQ(parsed.error, "nesting deeper than 64");
            }

            // A token whose payload is the nested value one level down ({"e": ...} is level 1).
            if (!objects)
                continue;
            const auto token = "eyJhbGciOiJub25lIn0." + base64URLEncodedString(text) + ".";
            const auto jwt = JSONWebToken::parse(token);
            EXPECT_EQ(static_cast<bool>(jwt), accepted) << depth;
            if (!accepted) {
                EXPECT_EQ(jwt.error().kind, JSONWebTokenError::Kind::invalidJSON);
            }
            EXPECT_EQ(EnrollmentResponse::decode(std::string_view(text)).has_value(), accepted);
            EXPECT_EQ(ServerErrorResponse::decode(std::string_view(text)).has_value(), accepted);

            std::optional<Error> error;
            int calls = 0;
            LogicLayer::pairWithIdToken(token, [&](std::optional<PairingObject>, std::optional<Error> e) {
                ++calls;
                error = std::move(e);
            });
            EXPECT_EQ(calls, 1);
            if (!accepted) {
                ASSERT_TRUE(error);
                EXPECT_EQ(error->code(), 10005); // pairingKeyError
                EXPECT_EQ(error->userInfo().at("internalErrorCode"), 20018);
            }
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Depths, BoundedJsonDepth,
                         ::testing::Values(DepthCase{1, true}, DepthCase{64, true}, DepthCase{65, false},
                                           DepthCase{100000, false}));

} // namespace
} // namespace velquor::detail
