#include "jwt/JSONWebToken.hpp"
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

JSONWebTokenError parseError(const std::string& compact) {
    auto parsed = JSONWebToken::parse(compact);
    EXPECT_FALSE(parsed) << compact;
    return parsed ? JSONWebTokenError{Kind::badTokenStructure, std::nullopt, "<parsed>"} : parsed.error();
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
        {"None", SignatureAlgorithm::none()},
    };
    for (const auto& [name, algorithm] : known) {
        auto parsed = SignatureAlgorithm::fromName(name);
        ASSERT_TRUE(parsed) << name;
        EXPECT_EQ(parsed.value(), algorithm) << name;
    }
    EXPECT_EQ(SignatureAlgorithm::rsassa_PKCS1(Hash::sha256).name(), "RS256");
    EXPECT_EQ(SignatureAlgorithm::ecdsa(Hash::sha512).name(), "ES512");
    EXPECT_EQ(SignatureAlgorithm::none().name(), "none");
    EXPECT_NE(SignatureAlgorithm::rsassa_PKCS1(Hash::sha256), SignatureAlgorithm::rsassa_PKCS1(Hash::sha384));

    for (const std::string name : {"rs256", "RS", "RS1024", "R", "", "XS256", "RS256 ", "nonee", "RS 256"}) {
        auto parsed = SignatureAlgorithm::fromName(name);
        ASSERT_FALSE(parsed) << name;
        EXPECT_EQ(parsed.error(), (JSONWebTokenError{Kind::invalidSignatureAlgorithm, std::nullopt, name}));
    }

    EXPECT_EQ(SignatureAlgorithm::hashFunctionFromRawValue(384), Hash::sha384);
    EXPECT_FALSE(SignatureAlgorithm::hashFunctionFromRawValue(1));
    EXPECT_FALSE(SignatureAlgorithm::hashFunctionFromRawValue(255));
}

TEST(JSONWebTokenTest, ParsesAWellFormedToken) {
    const std::string compact =
        token(R"({"alg":"RS256","typ":"JWT","kid":"k1"})", R"({"iss":"svc","n":[1,2]})", "c2ln");
    auto parsed = JSONWebToken::parse(compact);
    ASSERT_TRUE(parsed) << parsed.error().description();
    EXPECT_EQ(parsed->signatureAlgorithm, SignatureAlgorithm::rsassa_PKCS1(Hash::sha256));
    EXPECT_EQ(parsed->payload.jsonPayload, (Json{{"iss", "svc"}, {"n", {1, 2}}}));
    EXPECT_EQ(parsed->base64Parts.signature, "c2ln");
    EXPECT_EQ(parsed->rawString(), compact);
}

TEST(JSONWebTokenTest, RejectsBadStructureBeforeAnythingElse) {
    EXPECT_EQ(parseError("abc").kind, Kind::badTokenStructure);
    EXPECT_EQ(parseError("a.b").kind, Kind::badTokenStructure);
    EXPECT_EQ(parseError("a.b.c.d").kind, Kind::badTokenStructure);
    EXPECT_EQ(parseError("").kind, Kind::badTokenStructure);
    // Three empty segments pass the split and fail on the empty header.
    const auto empty = parseError("..");
    EXPECT_EQ(empty.kind, Kind::invalidJSON);
    EXPECT_EQ(empty.part, JSONWebTokenPart::header);
}

TEST(JSONWebTokenTest, ReportsTheFirstSegmentThatIsNotBase64URL) {
    const std::string header = seg(R"({"alg":"none"})");
    const std::string payload = seg("{}");
    EXPECT_EQ(parseError("a b." + payload + "."),
              (JSONWebTokenError{Kind::cannotDecodeBase64Part, JSONWebTokenPart::header, "a b"}));
    EXPECT_EQ(parseError("Y.Y.Y"),
              (JSONWebTokenError{Kind::cannotDecodeBase64Part, JSONWebTokenPart::header, "Y"}));
    EXPECT_EQ(parseError(header + ".Y.Y"),
              (JSONWebTokenError{Kind::cannotDecodeBase64Part, JSONWebTokenPart::payload, "Y"}));
    EXPECT_EQ(parseError(header + "." + payload + ".ab$"),
              (JSONWebTokenError{Kind::cannotDecodeBase64Part, JSONWebTokenPart::signature, "ab$"}));
}

TEST(JSONWebTokenTest, ChecksHeaderJSONThenTypThenAlgThenPayload) {
    auto error = parseError(token("{not json", "also not json"));
    EXPECT_EQ(error.kind, Kind::invalidJSON);
    EXPECT_EQ(error.part, JSONWebTokenPart::header);
    EXPECT_FALSE(error.text.empty()); // the reader's message

    EXPECT_EQ(parseError(token(R"(["alg","RS256"])")),
              (JSONWebTokenError{Kind::invalidJSONStructure, JSONWebTokenPart::header, ""}));
    EXPECT_EQ(parseError(token("5")).kind, Kind::invalidJSONStructure);
    EXPECT_EQ(parseError(token(R"({"alg":"RS256"} trailing)")).kind, Kind::invalidJSON);
    EXPECT_EQ(parseError(token("{\"alg\":\"RS256\",\"x\":\"\xFF\"}")).kind, Kind::invalidJSON); // not UTF-8

    // "typ" is checked before "alg", which is checked before the payload.
    EXPECT_EQ(parseError(token(R"({"typ":"JWS","alg":"bogus"})", "nope")).kind, Kind::typeIsNotAJSONWebToken);
    EXPECT_EQ(parseError(token(R"({"typ":"JWT"})", "nope")).kind, Kind::missingSignatureAlgorithm);
    EXPECT_EQ(parseError(token(R"({"alg":256})")).kind, Kind::missingSignatureAlgorithm);
    EXPECT_EQ(parseError(token(R"({"alg":"rs256"})", "nope")),
              (JSONWebTokenError{Kind::invalidSignatureAlgorithm, std::nullopt, "rs256"}));

    error = parseError(token(R"({"alg":"RS256"})", "[1,2]"));
    EXPECT_EQ(error, (JSONWebTokenError{Kind::invalidJSONStructure, JSONWebTokenPart::payload, ""}));
    error = parseError(token(R"({"alg":"RS256"})", "{\"a\":"));
    EXPECT_EQ(error.kind, Kind::invalidJSON);
    EXPECT_EQ(error.part, JSONWebTokenPart::payload);
}

TEST(JSONWebTokenTest, AcceptsOptionalOrOddTypAndAnEmptySignature) {
    for (const std::string header :
         {R"({"alg":"RS256"})", R"({"alg":"RS256","typ":"jwt"})", R"({"alg":"RS256","typ":"Jwt"})",
          R"({"alg":"RS256","typ":5})", R"({"alg":"RS256","typ":null})"}) {
        auto parsed = JSONWebToken::parse(token(header));
        ASSERT_TRUE(parsed) << header << ": " << parsed.error().description();
        EXPECT_EQ(parsed->signatureAlgorithm.name(), "RS256");
        EXPECT_EQ(parsed->base64Parts.signature, "");
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

    const auto headerBytes = base64URLDecoded(built->base64Parts.header);
    ASSERT_TRUE(headerBytes);
    EXPECT_EQ(Json::parse(*headerBytes), (Json{{"alg", "none"}, {"typ", "JWT"}}));

    auto parsed = JSONWebToken::parse(raw);
    ASSERT_TRUE(parsed) << parsed.error().description();
    EXPECT_EQ(parsed->payload.jsonPayload, claims);
    EXPECT_EQ(parsed->signatureAlgorithm, SignatureAlgorithm::none());
    EXPECT_EQ(parsed->rawString(), raw);
}

TEST(JSONWebTokenTest, WritesTheKeyIdentifierAsKid) {
    auto built = JSONWebToken::build(Json::object(), std::string("device-42"), nullptr);
    ASSERT_TRUE(built);
    const auto headerBytes = base64URLDecoded(built->base64Parts.header);
    ASSERT_TRUE(headerBytes);
    EXPECT_EQ(Json::parse(*headerBytes), (Json{{"alg", "none"}, {"typ", "JWT"}, {"kid", "device-42"}}));
    EXPECT_EQ(built->base64Parts.payload, seg("{}"));
}

TEST(JSONWebTokenTest, ClaimsJSONCannotCarryComeBackAsErrorsNotExceptions) {
    const Json refused[] = {
        Json{{"name", "bad \xC3 utf8"}},
        Json{{"nested", {{"deeper", {"ok", "\xFF"}}}}},
        Json{{"nan", std::numeric_limits<double>::quiet_NaN()}},
        Json{{"inf", std::numeric_limits<double>::infinity()}},
        Json{{"bytes", Json::binary({1, 2, 3})}},
        Json::array({1, 2}),
        Json("text"),
    };
    for (const Json& claims : refused) {
        auto built = JSONWebToken::build(claims, std::nullopt, nullptr);
        ASSERT_FALSE(built);
        EXPECT_EQ(built.error().kind, JSONWebToken::BuildError::Kind::invalidJSON);
        EXPECT_FALSE(built.error().signerError);
    }
    // A key identifier that is not UTF-8 is refused the same way.
    auto built = JSONWebToken::build(Json::object(), std::string("\xFE"), nullptr);
    ASSERT_FALSE(built);
    EXPECT_EQ(built.error().kind, JSONWebToken::BuildError::Kind::invalidJSON);
}

} // namespace
} // namespace velquor::detail
