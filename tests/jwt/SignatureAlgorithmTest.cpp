#include "jwt/SignatureAlgorithm.hpp"
#include "jwt/JSONWebTokenError.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

using Kind = JSONWebTokenError::Kind;
using Hash = SignatureAlgorithm::HashFunction;

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
