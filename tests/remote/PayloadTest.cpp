#include "remote/Payload.hpp"

#include "DeviceTestSupport.hpp"
#include "FoundationSupport.hpp"
#include "TokenTestSupport.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

class PayloadTest : public ::testing::Test {
protected:
    std::string create(std::shared_ptr<KeyStore> store = nullptr) {
        if (!store)
            store = fixture.store;
        return Payload(DataManager::make(fixture.collaborators(store)), store).create();
    }
    // The internal code of the Error create() throws; -1 when it returns.
    int failureCode(std::shared_ptr<KeyStore> store = nullptr) {
        try {
            create(store);
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), 10000);
            return test::internalCode(error);
        }
        return -1;
    }

    test::DeviceFixture fixture;
    test::ScopedLogSink sink;
};

TEST_F(PayloadTest, FreshInstallationCreatesTheKeyPairAndReturnsAnUnsignedToken) {
    ASSERT_FALSE(fixture.store->hasKey(std::string(items::kDevicePrivateKeyTag)));
    std::string token = create();
    EXPECT_TRUE(fixture.store->hasKey(std::string(items::kDevicePublicKeyTag)));
    EXPECT_TRUE(fixture.store->hasKey(std::string(items::kDevicePrivateKeyTag)));
    EXPECT_TRUE(token.ends_with("."));

    auto decoded = test::decode(token);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->header, (Json{{"alg", "none"}, {"typ", "JWT"}}));
    EXPECT_EQ(decoded->claims["metadata"], (Json{{"application", Json{{"bundleId", "com.example.host"}}}}));
    EXPECT_EQ(decoded->claims["fnp"], fixture.keychain().deviceFingerprint());
    EXPECT_EQ(decoded->claims["exp"], 1'700'000'120);
    EXPECT_EQ(decoded->claims.size(), 4u);
    EXPECT_TRUE(sink->contains("Payload Params={"));
}

TEST_F(PayloadTest, PairedDeviceGetsAnRS256TokenNamingItsMobileDevice) {
    ASSERT_TRUE(fixture.keychain().getDevicePublicKeyString());
    fixture.pair();
    auto decoded = test::decode(create());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->header, (Json{{"alg", "RS256"}, {"typ", "JWT"}, {"kid", "device-7"}}));
    EXPECT_TRUE(test::verifiesWithDevicePublicKey(decoded->token, fixture.keychain()));
    EXPECT_FALSE(decoded->claims.contains("metadata"));
    EXPECT_EQ(decoded->claims["iss"], "app-42");
    EXPECT_EQ(decoded->claims["dvc"], "device-7");
}

TEST_F(PayloadTest, FailuresAreThrownWithTheirInternalCodes) {
    // No device public key can be exported (and none generated).
    fixture.store->setForcedStatus(MemoryKeyStore::Operation::copyKeyData, kKeyStoreIOError);
    EXPECT_EQ(failureCode(), 17);
    fixture.store->setForcedStatus(MemoryKeyStore::Operation::copyKeyData, std::nullopt);
    EXPECT_FALSE(fixture.store->hasKey(std::string(items::kDevicePrivateKeyTag)));

    // The public key exists but its private key is gone: half a pair is replaced, nothing fails.
    ASSERT_TRUE(fixture.keychain().getDevicePublicKeyString());
    fixture.store->deleteKey(std::string(items::kDevicePrivateKeyTag));
    EXPECT_EQ(failureCode(), -1);
    fixture.store->clear();

    // Signing fails.
    ASSERT_TRUE(fixture.keychain().getDevicePublicKeyString());
    fixture.pair();
    EXPECT_EQ(failureCode(std::make_shared<test::UnsigningKeyStore>(fixture.store)), 25);
    EXPECT_TRUE(sink->contains("Token building failed: securityError("));

    // No fingerprint: the claim set is checked first.
    fixture.store->setForcedStatus(MemoryKeyStore::Operation::copyPassword, kKeyStoreIOError);
    EXPECT_EQ(failureCode(), 19);
    EXPECT_TRUE(sink->contains("Internal Error."));
}

} // namespace
} // namespace velquor::detail
