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

std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (auto b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

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

TEST(DigestTest, MatchesKnownAnswersForEverySupportedSize) {
    const Bytes abc = bytesOf("abc");
    EXPECT_EQ(hex(digest(1, abc)), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hex(digest(256, abc)), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex(digest(384, abc)), "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed"
                                     "8086072ba1e7cc2358baeca134c825a7");
    EXPECT_EQ(hex(digest(512, abc)), "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                                     "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(digest(256, Bytes{}).size(), 32u);
    EXPECT_TRUE(digest(7, abc).empty());
    EXPECT_TRUE(digest(0, abc).empty());
}

TEST_F(RSAPKCS1Test, SignaturesEqualOpenSSLsDigestSignByteForByte) {
    const std::pair<Hash, const EVP_MD*> hashes[] = {
        {Hash::sha256, EVP_sha256()}, {Hash::sha384, EVP_sha384()}, {Hash::sha512, EVP_sha512()}};
    for (const auto& [hash, md] : hashes) {
        RSAPKCS1Signer signer(hash, privateKey());
        for (std::size_t length : {0u, 1u, 55u, 64u, 1000u}) {
            Bytes input(length);
            RAND_bytes(input.data(), static_cast<int>(length));
            auto signature = signer.sign(input);
            ASSERT_TRUE(signature);
            EXPECT_EQ(signature.value(), test::referenceSign(key_, md, input))
                << "hash " << static_cast<int>(hash) << " length " << length;
            EXPECT_EQ(signature->size(), 256u);
        }
    }
}

TEST_F(RSAPKCS1Test, SignerNamesItsAlgorithmAndIsDeterministic) {
    EXPECT_EQ(RSAPKCS1Signer(Hash::sha256, privateKey()).signatureAlgorithm().name(), "RS256");
    EXPECT_EQ(RSAPKCS1Signer(Hash::sha512, privateKey()).signatureAlgorithm().name(), "RS512");

    const JSONWebToken first = signedToken();
    const JSONWebToken second = signedToken();
    EXPECT_EQ(first.base64Parts.signature, second.base64Parts.signature);
    EXPECT_EQ(first.base64Parts.signature.size(), 342u);
    EXPECT_EQ(first.signatureAlgorithm.name(), "RS256");
    // The token's signature is the standard one over header "." payload.
    const auto signature = base64URLDecoded(first.base64Parts.signature);
    ASSERT_TRUE(signature);
    EXPECT_TRUE(test::referenceVerify(
        key_, EVP_sha256(), bytesOf(first.base64Parts.header + "." + first.base64Parts.payload), *signature));
}

TEST_F(RSAPKCS1Test, ValidatesSignedTokensWithTheMatchingKeyAndHash) {
    for (Hash hash : {Hash::sha256, Hash::sha384, Hash::sha512}) {
        const JSONWebToken token = signedToken(hash);
        EXPECT_EQ(RSAPKCS1Verifier(hash, publicKey()).validateToken(token), std::nullopt);
        // A private key handle verifies through its public half.
        EXPECT_EQ(RSAPKCS1Verifier(hash, privateKey()).validateToken(token), std::nullopt);
    }
}

TEST_F(RSAPKCS1Test, RejectsAlteredForeignOrShortSignatures) {
    const RSAPKCS1Verifier verifier(Hash::sha256, publicKey());
    const JSONWebToken token = signedToken();

    JSONWebToken tampered = token;
    std::string& payload = tampered.base64Parts.payload;
    payload[payload.size() / 2] = payload[payload.size() / 2] == 'A' ? 'B' : 'A';
    EXPECT_EQ(verifier.validateToken(tampered), SignatureValidatorError::signatureMismatch);

    JSONWebToken shortened = token;
    auto signature = *base64URLDecoded(token.base64Parts.signature);
    signature.pop_back();
    shortened.base64Parts.signature = base64URLEncodedString(signature);
    EXPECT_EQ(verifier.validateToken(shortened), SignatureValidatorError::signatureMismatch);

    JSONWebToken empty = token;
    empty.base64Parts.signature.clear();
    EXPECT_EQ(verifier.validateToken(empty), SignatureValidatorError::signatureMismatch);

    EXPECT_EQ(RSAPKCS1Verifier(Hash::sha256, publicKey(otherKey_)).validateToken(token),
              SignatureValidatorError::signatureMismatch);
    EXPECT_EQ(RSAPKCS1Verifier(Hash::sha256, RSAKey{}).validateToken(token),
              SignatureValidatorError::signatureMismatch);

    // A signature made with another hash but labelled RS256.
    JSONWebToken relabelled = token;
    RSAPKCS1Signer sha384Signer(Hash::sha384, privateKey());
    relabelled.base64Parts.signature = base64URLEncodedString(
        sha384Signer.sign(bytesOf(token.base64Parts.header + "." + token.base64Parts.payload)).value());
    EXPECT_EQ(verifier.validateToken(relabelled), SignatureValidatorError::signatureMismatch);
}

TEST_F(RSAPKCS1Test, RejectsOtherAlgorithmsBeforeLookingAtTheSignature) {
    const RSAPKCS1Verifier verifier(Hash::sha256, publicKey());

    auto unsignedToken = JSONWebToken::build({{"a", 1}}, std::nullopt, nullptr);
    ASSERT_TRUE(unsignedToken);
    EXPECT_EQ(verifier.validateToken(unsignedToken.value()), SignatureValidatorError::algorithmMismatch);

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
    auto signature = failing.sign(bytesOf("input"));
    ASSERT_FALSE(signature);
    EXPECT_EQ(signature.error(), (SignerError{SignerError::Kind::securityError, kKeyStoreIOError}));

    auto built = JSONWebToken::build({{"a", 1}}, std::nullopt, &failing);
    ASSERT_FALSE(built);
    EXPECT_EQ(built.error().kind, JSONWebToken::BuildError::Kind::signer);
    EXPECT_EQ(built.error().signerError, (SignerError{SignerError::Kind::securityError, kKeyStoreIOError}));

    RSAPKCS1Signer keyless(Hash::sha256, RSAKey{});
    EXPECT_EQ(keyless.sign(bytesOf("input")).error().status, RSAPKCS1Signer::kNoKeyStatus);

    // A public key cannot sign.
    RSAPKCS1Signer publicOnly(Hash::sha256, publicKey());
    EXPECT_FALSE(publicOnly.sign(bytesOf("input")));
}

} // namespace
} // namespace velquor::detail
