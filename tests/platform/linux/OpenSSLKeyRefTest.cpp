#include "platform/linux/OpenSSLKeyRef.hpp"

#include "platform/KeyStoreStatuses.hpp"
#include "platform/linux/RSAKeyCodec.hpp"

#include "OpenSSLTestKeys.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

// SHA-256 to SHA-512 are signed through these references in the token signer's tests; SHA-1 only
// here.
TEST(OpenSSLKeyRef, RawSignEqualsOneShotSigningAndRefusesWhatDoesNotMatch) {
    // A key as the key store's private reference, a public one read back from PKCS#1 as the store
    // does, and OpenSSL's own handle.
    const EVP_PKEY_ptr reference = RSAKeyCodec::generate(1024);
    const auto pkcs1 = test::pkcs1PublicKey(reference.get());
    const auto privateRef = test::keyRef(reference.get(), true);
    const OpenSSLKeyRef publicRef(RSAKeyCodec::parsePublicPkcs1(pkcs1.data(), pkcs1.size()), false);
    const std::string message = "eyJhbGciOiJSUzI1NiIsImtpZCI6IjEifQ.eyJpc3MiOiJ4In0";
    const auto digest = test::digestOf(DigestAlgorithm::sha1, message);
    std::vector<std::uint8_t> signature;
    ASSERT_EQ(privateRef->rawSign(DigestAlgorithm::sha1, digest, signature), kKeyStoreSuccess);
    EXPECT_EQ(signature, test::referenceSign(reference.get(), EVP_sha1(), test::bytesOf(message)))
        << "the DigestInfo must be part of the signature";
    EXPECT_EQ(publicRef.rawVerify(DigestAlgorithm::sha1, digest, signature), kKeyStoreSuccess);
    EXPECT_EQ(privateRef->rawVerify(DigestAlgorithm::sha1, digest, signature), kKeyStoreSuccess)
        << "a private key verifies through its public half";

    // Signatures that do not match are rejected.
    auto tampered = signature;
    tampered[10] ^= 0x80;
    EXPECT_EQ(publicRef.rawVerify(DigestAlgorithm::sha1, digest, tampered), kKeyStoreVerifyFailed);
    EXPECT_EQ(
        publicRef.rawVerify(DigestAlgorithm::sha1, test::digestOf(DigestAlgorithm::sha1, "other"), signature),
        kKeyStoreVerifyFailed);
    EXPECT_EQ(publicRef.rawVerify(DigestAlgorithm::sha256, test::digestOf(DigestAlgorithm::sha256, message),
                                  signature),
              kKeyStoreVerifyFailed)
        << "the digest algorithm is part of what is verified";
    EXPECT_EQ(publicRef.rawVerify(DigestAlgorithm::sha1, digest, {}), kKeyStoreVerifyFailed);

    // Bad parameters are refused.
    const auto sha256 = test::digestOf(DigestAlgorithm::sha256, "m");
    EXPECT_EQ(privateRef->rawSign(DigestAlgorithm::sha1, sha256, signature), kKeyStoreParameterError);
    EXPECT_TRUE(signature.empty());
    EXPECT_EQ(privateRef->rawSign(DigestAlgorithm::sha256, {}, signature), kKeyStoreParameterError);
    signature = {1, 2, 3};
    EXPECT_EQ(publicRef.rawSign(DigestAlgorithm::sha256, sha256, signature), kKeyStoreParameterError);
    EXPECT_TRUE(signature.empty());
    EXPECT_EQ(publicRef.rawVerify(DigestAlgorithm::sha512, sha256, std::vector<std::uint8_t>(128)),
              kKeyStoreParameterError);
    EXPECT_EQ(ERR_peek_error(), 0u) << "OpenSSL's error queue must be left empty";
}

} // namespace
} // namespace velquor::detail
