#include "jwt/Digest.hpp"
#include "jwt/JSONWebToken.hpp"
#include "jwt/RSAPKCS1Signer.hpp"
#include "jwt/RSAPKCS1Verifier.hpp"
#include "util/Base64URL.hpp"

#include "OpenSSLTestKeys.hpp"

#include <gtest/gtest.h>

#include <openssl/rand.h>

namespace velquor::detail {
namespace {

using Hash = SignatureAlgorithm::HashFunction;
using test::Bytes;
using test::bytesOf;

class RSAPKCS1Test : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        key_ = test::generateRSAKey().release();
        otherKey_ = test::generateRSAKey().release();
    }
    static void TearDownTestSuite() {
        EVP_PKEY_free(key_);
        EVP_PKEY_free(otherKey_);
    }

    static RSAKey privateKey(EVP_PKEY* key = key_) { return {test::keyRef(key, true)}; }
    static RSAKey publicKey(EVP_PKEY* key = key_) { return {test::keyRef(key, false)}; }

    static JSONWebToken signedToken(Hash hash = Hash::sha256) {
        RSAPKCS1Signer signer(hash, privateKey());
        auto built = JSONWebToken::build({{"iss", "device"}, {"jti", "0123"}}, std::string("kid-1"), &signer);
        EXPECT_TRUE(built) << (built ? "" : built.error().description());
        auto parsed = JSONWebToken::parse(built->rawString());
        EXPECT_TRUE(parsed);
        return parsed.value();
    }

    static EVP_PKEY* key_;
    static EVP_PKEY* otherKey_;
};

EVP_PKEY* RSAPKCS1Test::key_ = nullptr;
EVP_PKEY* RSAPKCS1Test::otherKey_ = nullptr;

TEST(DigestTest, MatchesOpenSSLForEverySupportedSizeAndNothingElse) {
    const auto abc = bytesOf("abc");
    const std::pair<int, DigestAlgorithm> sizes[] = {{1, DigestAlgorithm::sha1},
                                                     {256, DigestAlgorithm::sha256},
                                                     {384, DigestAlgorithm::sha384},
                                                     {512, DigestAlgorithm::sha512}};
    for (const auto& [bits, algorithm] : sizes)
        EXPECT_EQ(digest(bits, abc), test::digestOf(algorithm, "abc")) << bits;
    EXPECT_EQ(digest(256, Bytes{}), test::digestOf(DigestAlgorithm::sha256, ""));
    EXPECT_TRUE(digest(7, abc).empty());
    EXPECT_TRUE(digest(0, abc).empty());
}

// Signatures equal OpenSSL's byte for byte; the token names its algorithm, carries the standard
// signature over header "." payload, and validates with the public key or a private key handle
// (through its public half).
TEST_F(RSAPKCS1Test, SignsLikeOpenSSLAndItsTokensValidate) {
    const std::tuple<Hash, const EVP_MD*, const char*> hashes[] = {{Hash::sha256, EVP_sha256(), "RS256"},
                                                                   {Hash::sha384, EVP_sha384(), "RS384"},
                                                                   {Hash::sha512, EVP_sha512(), "RS512"}};
    for (const auto& [hash, md, name] : hashes) {
        RSAPKCS1Signer signer(hash, privateKey());
        for (std::size_t length : {0u, 1u, 55u, 64u, 1000u}) {
            Bytes input(length);
            RAND_bytes(input.data(), static_cast<int>(length));
            EXPECT_EQ(signer.sign(input).value(), test::referenceSign(key_, md, input))
                << name << " " << length;
        }
        const JSONWebToken token = signedToken(hash);
        EXPECT_EQ(token.signatureAlgorithm.name(), name);
        EXPECT_TRUE(test::referenceVerify(key_, md,
                                          bytesOf(token.base64Parts.header + "." + token.base64Parts.payload),
                                          base64URLDecoded(token.base64Parts.signature).value_or(Bytes{})));
        EXPECT_EQ(RSAPKCS1Verifier(hash, publicKey()).validateToken(token), std::nullopt);
        EXPECT_EQ(RSAPKCS1Verifier(hash, privateKey()).validateToken(token), std::nullopt);
    }
}

TEST_F(RSAPKCS1Test, RejectsAlteredForeignOrShortSignatures) {
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
    EXPECT_EQ(RSAPKCS1Verifier(Hash::sha256, publicKey(otherKey_)).validateToken(token),
              SignatureValidatorError::signatureMismatch);
    EXPECT_EQ(RSAPKCS1Verifier(Hash::sha256, RSAKey{}).validateToken(token),
              SignatureValidatorError::signatureMismatch);
}

TEST_F(RSAPKCS1Test, RejectsOtherAlgorithmsBeforeLookingAtTheSignature) {
    const RSAPKCS1Verifier verifier(Hash::sha256, publicKey());

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

TEST_F(RSAPKCS1Test, KeyStoreFailuresReachTheTokenBuilderAsSecurityError) {
    RSAPKCS1Signer failing(Hash::sha256, RSAKey{std::make_shared<test::FailingKeyRef>(kKeyStoreIOError)});
    EXPECT_EQ(failing.sign(bytesOf("input")).error(),
              (SignerError{SignerError::Kind::securityError, kKeyStoreIOError}));

    auto built = JSONWebToken::build({{"a", 1}}, std::nullopt, &failing);
    ASSERT_FALSE(built);
    EXPECT_EQ(built.error().kind, JSONWebToken::BuildError::Kind::signer);
    EXPECT_EQ(built.error().signerError, (SignerError{SignerError::Kind::securityError, kKeyStoreIOError}));

    RSAPKCS1Signer keyless(Hash::sha256, RSAKey{});
    EXPECT_EQ(keyless.sign(bytesOf("input")).error().status, RSAPKCS1Signer::kNoKeyStatus);

    EXPECT_FALSE(RSAPKCS1Signer(Hash::sha256, publicKey()).sign(bytesOf("input")))
        << "a public key cannot sign";
}

} // namespace
} // namespace velquor::detail
