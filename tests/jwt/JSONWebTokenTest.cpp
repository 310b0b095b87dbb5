#include "jwt/JSONWebToken.hpp"
#include "jwt/SignatureAlgorithm.hpp"
#include "util/Base64URL.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace velquor::detail {
namespace {

using Kind = JSONWebTokenError::Kind;
using Hash = SignatureAlgorithm::HashFunction;

std::string seg(const std::string& text) {
    return base64URLEncodedString(text);
}

std::string token(const std::string& header, const std::string& payload = R"({"sub":"x"})",
                  const std::string& signature = "") {
    return seg(header) + "." + seg(payload) + "." + signature;
}

// Structure first, then each segment's Base64URL, then the header's JSON, "typ" and "alg", then the
// payload: each token is wrong in one place and in every later one.
TEST(JSONWebTokenTest, ReportsTheFirstProblemInCheckingOrder) {
    using Part = JSONWebTokenPart;
    const std::string header = seg(R"({"alg":"none"})"), payload = seg("{}");
    const std::pair<std::string, JSONWebTokenError> cases[] = {
        {"abc", {Kind::badTokenStructure, std::nullopt, ""}},
        {"a.b", {Kind::badTokenStructure, std::nullopt, ""}},
        {"a.b.c.d", {Kind::badTokenStructure, std::nullopt, ""}},
        {"", {Kind::badTokenStructure, std::nullopt, ""}},
        {"..", {Kind::invalidJSON, Part::header, "*"}}, // passes the split, fails on the empty header
        {"a b." + payload + ".", {Kind::cannotDecodeBase64Part, Part::header, "a b"}},
        {"Y.Y.Y", {Kind::cannotDecodeBase64Part, Part::header, "Y"}},
        {header + ".Y.Y", {Kind::cannotDecodeBase64Part, Part::payload, "Y"}},
        {header + "." + payload + ".ab$", {Kind::cannotDecodeBase64Part, Part::signature, "ab$"}},
        {token("{not json", "also not json"), {Kind::invalidJSON, Part::header, "*"}},
        {token(R"(["alg","RS256"])"), {Kind::invalidJSONStructure, Part::header, ""}},
        {token("5"), {Kind::invalidJSONStructure, Part::header, ""}},
        {token(R"({"alg":"RS256"} trailing)"), {Kind::invalidJSON, Part::header, "*"}},
        {token("{\"alg\":\"RS256\",\"x\":\"\xFF\"}"), {Kind::invalidJSON, Part::header, "*"}}, // not UTF-8
        {token(R"({"typ":"JWS","alg":"bogus"})", "nope"), {Kind::typeIsNotAJSONWebToken, std::nullopt, "*"}},
        {token(R"({"typ":"JWT"})", "nope"), {Kind::missingSignatureAlgorithm, std::nullopt, "*"}},
        {token(R"({"alg":256})"), {Kind::missingSignatureAlgorithm, std::nullopt, "*"}},
        {token(R"({"alg":"rs256"})", "nope"), {Kind::invalidSignatureAlgorithm, std::nullopt, "rs256"}},
        {token(R"({"alg":"RS256"})", "[1,2]"), {Kind::invalidJSONStructure, Part::payload, ""}},
        {token(R"({"alg":"RS256"})", "{\"a\":"), {Kind::invalidJSON, Part::payload, "*"}},
    };
    for (const auto& [compact, expected] : cases) {
        auto parsed = JSONWebToken::parse(compact);
        ASSERT_FALSE(parsed) << compact;
        EXPECT_EQ(parsed.error().kind, expected.kind) << compact;
        EXPECT_EQ(parsed.error().part, expected.part) << compact;
        // "*": whatever the header says, or the reader's message (which must be there).
        const bool any = expected.text == "*", needed = expected.kind == Kind::invalidJSON;
        EXPECT_TRUE(any ? !needed || !parsed.error().text.empty() : parsed.error().text == expected.text)
            << compact << ": " << parsed.error().text;
    }
}

// "typ" is optional and read loosely; the signature segment may be empty.
TEST(JSONWebTokenTest, ParsesAWellFormedTokenWhateverItsTypAndKeepsItsParts) {
    for (const std::string header :
         {R"({"alg":"RS256","typ":"JWT","kid":"k1"})", R"({"alg":"RS256"})", R"({"alg":"RS256","typ":"jwt"})",
          R"({"alg":"RS256","typ":"Jwt"})", R"({"alg":"RS256","typ":5})", R"({"alg":"RS256","typ":null})"})
        for (const std::string signature : {"", "c2ln"}) {
            const std::string compact = token(header, R"({"iss":"svc","n":[1,2]})", signature);
            auto parsed = JSONWebToken::parse(compact);
            ASSERT_TRUE(parsed) << header << ": " << parsed.error().description();
            EXPECT_EQ(parsed->signatureAlgorithm, SignatureAlgorithm::rsassa_PKCS1(Hash::sha256));
            EXPECT_EQ(parsed->payload.jsonPayload, (Json{{"iss", "svc"}, {"n", {1, 2}}}));
            EXPECT_EQ(parsed->base64Parts.signature, signature);
            EXPECT_EQ(parsed->rawString(), compact);
        }
}

TEST(JSONWebTokenTest, BuildsAnUnsignedTokenWithExactlyAlgAndTyp) {
    const Json claims = {{"iss", "device"}, {"exp", 1700000000}, {"nested", {{"a", "é"}}}};
    auto built = JSONWebToken::build(claims, std::nullopt, nullptr);
    ASSERT_TRUE(built) << built.error().description();
    EXPECT_EQ(built->signatureAlgorithm, SignatureAlgorithm::none());
    const std::string raw = built->rawString();
    EXPECT_EQ(raw.back(), '.');
    EXPECT_EQ(raw.find('='), std::string::npos);

    EXPECT_EQ(Json::parse(base64URLDecoded(built->base64Parts.header).value()),
              (Json{{"alg", "none"}, {"typ", "JWT"}}));
    auto withKid = JSONWebToken::build(Json::object(), std::string("device-42"), nullptr);
    EXPECT_EQ(Json::parse(base64URLDecoded(withKid.value().base64Parts.header).value()),
              (Json{{"alg", "none"}, {"typ", "JWT"}, {"kid", "device-42"}}));
    EXPECT_EQ(withKid.value().base64Parts.payload, seg("{}"));

    auto parsed = JSONWebToken::parse(raw);
    ASSERT_TRUE(parsed) << parsed.error().description();
    EXPECT_EQ(parsed->payload.jsonPayload, claims);
    EXPECT_EQ(parsed->signatureAlgorithm, SignatureAlgorithm::none());
    EXPECT_EQ(parsed->rawString(), raw);
}

TEST(JSONWebTokenTest, ClaimsJSONCannotCarryComeBackAsErrorsNotExceptions) {
    const Json refused[] = {Json{{"name", "bad \xC3 utf8"}},
                            Json{{"nested", {{"deeper", {"ok", "\xFF"}}}}},
                            Json{{"nan", std::numeric_limits<double>::quiet_NaN()}},
                            Json{{"inf", std::numeric_limits<double>::infinity()}},
                            Json{{"bytes", Json::binary({1, 2, 3})}},
                            Json::array({1, 2}),
                            Json("text")};
    // The last: a key identifier that is not UTF-8.
    std::vector<std::pair<Json, std::optional<std::string>>> cases;
    for (const Json& claims : refused)
        cases.emplace_back(claims, std::nullopt);
    cases.emplace_back(Json::object(), "\xFE");
    for (const auto& [claims, kid] : cases) {
        auto built = JSONWebToken::build(claims, kid, nullptr);
        ASSERT_FALSE(built) << claims.dump(-1, ' ', false, Json::error_handler_t::replace);
        EXPECT_EQ(built.error().kind, JSONWebToken::BuildError::Kind::invalidJSON);
        EXPECT_FALSE(built.error().signerError);
    }
}

TEST(SignatureAlgorithmTest, ReadsEveryStandardNameAndNothingElse) {
    const std::pair<std::string, SignatureAlgorithm> known[] = {
        {"HS256", SignatureAlgorithm::hmac(Hash::sha256)},
        {"RS256", SignatureAlgorithm::rsassa_PKCS1(Hash::sha256)},
        {"RS384", SignatureAlgorithm::rsassa_PKCS1(Hash::sha384)},
        {"RS512", SignatureAlgorithm::rsassa_PKCS1(Hash::sha512)},
        {"ES512", SignatureAlgorithm::ecdsa(Hash::sha512)},
        {"PS384", SignatureAlgorithm::rsassa_PSS(Hash::sha384)},
        {"none", SignatureAlgorithm::none()},
        {"NONE", SignatureAlgorithm::none()},
        {"None", SignatureAlgorithm::none()}};
    for (const auto& [name, algorithm] : known)
        EXPECT_EQ(SignatureAlgorithm::fromName(name).value(), algorithm) << name;
    for (const auto& [name, algorithm] : {known[1], known[4], known[6]})
        EXPECT_EQ(algorithm.name(), name);
    EXPECT_NE(SignatureAlgorithm::rsassa_PKCS1(Hash::sha256), SignatureAlgorithm::rsassa_PKCS1(Hash::sha384));

    for (const std::string name : {"rs256", "RS", "RS1024", "R", "", "XS256", "RS256 ", "nonee", "RS 256"})
        EXPECT_EQ(SignatureAlgorithm::fromName(name).error(),
                  (JSONWebTokenError{Kind::invalidSignatureAlgorithm, std::nullopt, name}));

    EXPECT_EQ(SignatureAlgorithm::hashFunctionFromRawValue(384), Hash::sha384);
    EXPECT_FALSE(SignatureAlgorithm::hashFunctionFromRawValue(1));
    EXPECT_FALSE(SignatureAlgorithm::hashFunctionFromRawValue(255));
}

} // namespace
} // namespace velquor::detail
