// Compact tokens: parsing, building, the algorithm names, and RSA PKCS#1 signing and verifying
// against OpenSSL.
#include "jwt/JSONWebToken.hpp"
#include "jwt/RSAPKCS1Signer.hpp"
#include "jwt/RSAPKCS1Verifier.hpp"
#include "platform/memory/RefusingKeyRef.hpp"
#include "util/Base64URL.hpp"

#include "OpenSSLTestKeys.hpp"

#include <gtest/gtest.h>

#include <openssl/rand.h>

#include <limits>

namespace velquor::detail {
namespace {

using Kind = JSONWebTokenError::Kind;
using Hash = SignatureAlgorithm::HashFunction;
using test::Bytes;
using test::bytesOf;

std::string seg(const std::string& text) {
    return base64URLEncodedString(text);
}

std::string token(const std::string& header, const std::string& payload = R"({"sub":"x"})",
                  const std::string& signature = "") {
    return seg(header) + "." + seg(payload) + "." + signature;
}

// Structure first, then each segment's Base64URL, then the header's JSON, "typ" and "alg", then the
// payload: each token is wrong in one place and in every later one. "typ" is optional and read
// loosely; the signature segment may be empty.
TEST(JSONWebTokenTest, ReportsTheFirstProblemInCheckingOrderAndKeepsTheParts) {
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

// The header of each kind of token the library builds, and its empty signature segment, are the
// request token's test. Claims JSON cannot carry come back as errors, not exceptions.
TEST(JSONWebTokenTest, BuildsAnUnpaddedTokenWhoseClaimsParseBackOrAnError) {
    const Json claims = {{"iss", "device"}, {"exp", 1700000000}, {"nested", {{"a", "é"}}}};
    auto built = JSONWebToken::build(claims, std::nullopt, nullptr);
    ASSERT_TRUE(built) << built.error().description();
    EXPECT_EQ(built->signatureAlgorithm, SignatureAlgorithm::none());
    EXPECT_EQ(built->rawString().find('='), std::string::npos);
    auto parsed = JSONWebToken::parse(built->rawString());
    ASSERT_TRUE(parsed) << parsed.error().description();
    EXPECT_EQ(parsed->payload.jsonPayload, claims);

    // The last: a key identifier that is not UTF-8.
    const std::pair<Json, std::optional<std::string>> cases[] = {
        {Json{{"name", "bad \xC3 utf8"}}, std::nullopt},
        {Json{{"nested", {{"deeper", {"ok", "\xFF"}}}}}, std::nullopt},
        {Json{{"nan", std::numeric_limits<double>::quiet_NaN()}}, std::nullopt},
        {Json{{"inf", std::numeric_limits<double>::infinity()}}, std::nullopt},
        {Json{{"bytes", Json::binary({1, 2, 3})}}, std::nullopt},
        {Json::array({1, 2}), std::nullopt},
        {Json("text"), std::nullopt},
        {Json::object(), "\xFE"}};
    for (const auto& [bad, kid] : cases) {
        built = JSONWebToken::build(bad, kid, nullptr);
        ASSERT_FALSE(built) << bad.dump(-1, ' ', false, Json::error_handler_t::replace);
        EXPECT_EQ(built.error().kind, JSONWebToken::BuildError::Kind::invalidJSON);
        EXPECT_FALSE(built.error().signerError);
    }
}

TEST(SignatureAlgorithmTest, ReadsEveryStandardNameAndNothingElse) {
    const std::pair<std::string, SignatureAlgorithm> known[] = {
        {"HS256", SignatureAlgorithm::hmac(Hash::sha256)},
        {"ES512", SignatureAlgorithm::ecdsa(Hash::sha512)},
        {"PS384", SignatureAlgorithm::rsassa_PSS(Hash::sha384)},
        {"none", SignatureAlgorithm::none()},
        {"NONE", SignatureAlgorithm::none()},
        {"None", SignatureAlgorithm::none()}};
    // The RSA names: the signing test parses each kind of token it signs.
    for (const auto& [name, algorithm] : known)
        EXPECT_EQ(SignatureAlgorithm::fromName(name).value(), algorithm) << name;

    for (const std::string name : {"rs256", "RS", "RS1024", "R", "", "XS256", "RS256 ", "nonee", "RS 256"})
        EXPECT_EQ(SignatureAlgorithm::fromName(name).error(),
                  (JSONWebTokenError{Kind::invalidSignatureAlgorithm, std::nullopt, name}));
}

// Two keys made once for the suite: the signer's and another one.
EVP_PKEY* rsaKey(int which = 0) {
    static const detail::EVP_PKEY_ptr keys[] = {test::generateRSAKey(), test::generateRSAKey()};
    return keys[which].get();
}

RSAKey privateKey(EVP_PKEY* key = rsaKey()) {
    return {test::keyRef(key, true)};
}
RSAKey publicKey(EVP_PKEY* key = rsaKey()) {
    return {test::keyRef(key, false)};
}

JSONWebToken signedToken(Hash hash = Hash::sha256) {
    RSAPKCS1Signer signer(hash, privateKey());
    auto built = JSONWebToken::build({{"iss", "device"}, {"jti", "0123"}}, std::string("kid-1"), &signer);
    EXPECT_TRUE(built) << (built ? "" : built.error().description());
    auto parsed = JSONWebToken::parse(built->rawString());
    EXPECT_TRUE(parsed);
    return parsed.value();
}

// Signatures equal OpenSSL's byte for byte (so the digests under them are OpenSSL's too); the token names its
// algorithm, carries the standard signature over header "." payload, and validates with the public key or a
// private key handle (through its public half).
TEST(RSAPKCS1Test, SignsLikeOpenSSLAndItsTokensValidate) {
    const std::tuple<Hash, const EVP_MD*, const char*> hashes[] = {{Hash::sha256, EVP_sha256(), "RS256"},
                                                                   {Hash::sha384, EVP_sha384(), "RS384"},
                                                                   {Hash::sha512, EVP_sha512(), "RS512"}};
    for (const auto& [hash, md, name] : hashes) {
        RSAPKCS1Signer signer(hash, privateKey());
        for (std::size_t length : {0u, 1u, 55u, 64u, 1000u}) {
            Bytes input(length);
            RAND_bytes(input.data(), static_cast<int>(length));
            EXPECT_EQ(signer.sign(input).value(), test::referenceSign(rsaKey(), md, input))
                << name << " " << length;
        }
        const JSONWebToken token = signedToken(hash);
        EXPECT_EQ(token.signatureAlgorithm.name(), name);
        EXPECT_TRUE(test::referenceVerify(rsaKey(), md,
                                          bytesOf(token.base64Parts.header + "." + token.base64Parts.payload),
                                          base64URLDecoded(token.base64Parts.signature).value_or(Bytes{})));
        EXPECT_EQ(RSAPKCS1Verifier(hash, publicKey()).validateToken(token), std::nullopt);
        EXPECT_EQ(RSAPKCS1Verifier(hash, privateKey()).validateToken(token), std::nullopt);
    }
}

TEST(RSAPKCS1Test, RejectsAlteredForeignOrShortSignaturesAndOtherAlgorithms) {
    const RSAPKCS1Verifier verifier(Hash::sha256, publicKey());
    const JSONWebToken token = signedToken();
    const Bytes signature = base64URLDecoded(token.base64Parts.signature).value_or(Bytes{});
    const std::string signingInput = token.base64Parts.header + "." + token.base64Parts.payload;
    auto withSignature = [&](const Bytes& other) {
        JSONWebToken changed = token;
        changed.base64Parts.signature = base64URLEncodedString(other);
        return changed;
    };
    JSONWebToken tampered = token;
    std::string& payload = tampered.base64Parts.payload;
    payload[payload.size() / 2] = payload[payload.size() / 2] == 'A' ? 'B' : 'A';
    const Bytes shortened(signature.begin(), signature.end() - 1);
    // The last: a signature made with SHA-384 but labelled RS256.
    for (const JSONWebToken& bad :
         {tampered, withSignature(shortened), withSignature({}),
          withSignature(RSAPKCS1Signer(Hash::sha384, privateKey()).sign(bytesOf(signingInput)).value())})
        EXPECT_EQ(verifier.validateToken(bad), SignatureValidatorError::signatureMismatch) << bad.rawString();
    EXPECT_EQ(RSAPKCS1Verifier(Hash::sha256, publicKey(rsaKey(1))).validateToken(token),
              SignatureValidatorError::signatureMismatch);
    EXPECT_EQ(RSAPKCS1Verifier(Hash::sha256, RSAKey{}).validateToken(token),
              SignatureValidatorError::signatureMismatch);

    // Other algorithms are refused before the signature is looked at.
    EXPECT_EQ(verifier.validateToken(JSONWebToken::build({{"a", 1}}, std::nullopt, nullptr).value()),
              SignatureValidatorError::algorithmMismatch);

    // RS384 against a SHA-256 verifier, even with a signature that is not Base64URL at all.
    JSONWebToken rs384 = signedToken(Hash::sha384);
    EXPECT_EQ(verifier.validateToken(rs384), SignatureValidatorError::algorithmMismatch);
    rs384.base64Parts.signature = "***";
    EXPECT_EQ(verifier.validateToken(rs384), SignatureValidatorError::algorithmMismatch);

    // A header that claims "none" on a signed token.
    JSONWebToken downgraded = signedToken();
    downgraded.signatureAlgorithm = SignatureAlgorithm::none();
    EXPECT_EQ(verifier.validateToken(downgraded), SignatureValidatorError::algorithmMismatch);
    EXPECT_FALSE(verifier.canVerify(SignatureAlgorithm::rsassa_PSS(Hash::sha256)));
    EXPECT_FALSE(verifier.canVerify(SignatureAlgorithm::hmac(Hash::sha256)));
}

TEST(RSAPKCS1Test, KeyStoreFailuresReachTheTokenBuilderAsSecurityError) {
    RSAPKCS1Signer failing(Hash::sha256, RSAKey{std::make_shared<RefusingKeyRef>(kKeyStoreIOError)});
    EXPECT_EQ(failing.sign(bytesOf("input")).error(),
              (SignerError{SignerError::Kind::securityError, kKeyStoreIOError}));

    auto built = JSONWebToken::build({{"a", 1}}, std::nullopt, &failing);
    ASSERT_FALSE(built);
    EXPECT_EQ(built.error().kind, JSONWebToken::BuildError::Kind::signer);
    EXPECT_EQ(built.error().signerError, (SignerError{SignerError::Kind::securityError, kKeyStoreIOError}));

    EXPECT_EQ(RSAPKCS1Signer(Hash::sha256, RSAKey{}).sign(bytesOf("input")).error().status,
              RSAPKCS1Signer::kNoKeyStatus);

    EXPECT_FALSE(RSAPKCS1Signer(Hash::sha256, publicKey()).sign(bytesOf("input")))
        << "a public key cannot sign";
}

} // namespace
} // namespace velquor::detail
