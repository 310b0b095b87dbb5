// The tokens of requests, log uploads and the mobile payload, over the memory key store.
#include "remote/RequestToken.hpp"
#include "remote/Payload.hpp"
#include "remote/RequestBuilder.hpp"

#include "DeviceTestSupport.hpp"
#include "FoundationSupport.hpp"
#include "TokenTestSupport.hpp"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace velquor::detail {
namespace {

class RequestTokenTest : public ::testing::Test {
protected:
    RequestToken tokens(std::shared_ptr<KeyStore> store = nullptr) {
        store = store ? store : fixture.store;
        return RequestToken(DataManager::make(fixture.collaborators(store)), store);
    }
    std::string payload(std::shared_ptr<KeyStore> store = nullptr) {
        store = store ? store : fixture.store;
        return Payload(DataManager::make(fixture.collaborators(store)), store).create();
    }
    // The internal code of the Error payload() throws; -1 when it returns.
    int payloadFailure(std::shared_ptr<KeyStore> store = nullptr) {
        try {
            payload(store);
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), 10000);
            return test::internalCode(error);
        }
        return -1;
    }
    // Creates the device key pair, as pairing does before its first request.
    void createKeys() { ASSERT_TRUE(fixture.keychain().getDevicePublicKeyString()); }

    test::DeviceFixture fixture;
    test::ScopedLogSink sink;
    RequestBuilder builder{std::make_shared<test::FixedBundle>(test::hostValues())};
    Substance pairing = builder.pairingRequest("https://api.na.example/", "01KEY", "a1b2", "MIIBIjAN");
};

TEST_F(RequestTokenTest, UnpairedPairingRequestIsUnsignedAndCarriesItsParameters) {
    createKeys();
    auto token = tokens().makeRequestToken(pairing);
    ASSERT_TRUE(token) << test::internalCode(token.error());
    EXPECT_TRUE(token.value().ends_with("."));
    auto decoded = test::decode(token.value());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->header, (Json{{"alg", "none"}, {"typ", "JWT"}}));
    EXPECT_EQ(decoded->signatureSegment, "");
    const Json& claims = decoded->claims;
    EXPECT_EQ(claims["pairingKey"], "01KEY");
    EXPECT_EQ(claims["mobileDevice"], (Json{{"publicKey", "MIIBIjAN"}}));
    EXPECT_EQ(claims["installedApplication"], (Json{{"pushToken", "a1b2"}}));
    EXPECT_FALSE(claims.contains("iss")) << "the claim set is the unpaired one";

    EXPECT_TRUE(
        sink->contains("RequestName=pairings URL=https://api.na.example/v1/pairings, Request Params={"));
    EXPECT_TRUE(sink->contains("\"pairingKey\":\"01KEY\""));
}

TEST_F(RequestTokenTest, PairedRequestIsSignedAndNamesTheMobileDeviceWhenKnown) {
    createKeys();
    fixture.pair(false);
    auto withoutId = test::decode(tokens().makeRequestToken(pairing).value());
    ASSERT_TRUE(withoutId);
    EXPECT_EQ(withoutId->header, (Json{{"alg", "RS256"}, {"typ", "JWT"}}));
    EXPECT_TRUE(test::verifiesWithDevicePublicKey(withoutId->token, fixture.keychain()));

    fixture.pair();
    auto token = tokens().makeRequestToken(builder.deviceInfoRequest("https://api.eu.example/"));
    ASSERT_TRUE(token);
    auto decoded = test::decode(token.value());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->header, (Json{{"alg", "RS256"}, {"typ", "JWT"}, {"kid", "device-7"}}));
    EXPECT_EQ(decoded->signatureSegment.size(), 342u);
    EXPECT_TRUE(test::verifiesWithDevicePublicKey(decoded->token, fixture.keychain()));
    EXPECT_EQ(decoded->claims["dvc"], "device-7") << "the claim set is the paired one";
}

TEST_F(RequestTokenTest, ClaimsWinOverParametersOfTheSameName) {
    createKeys();
    Substance hostile = pairing;
    hostile.params = Json{{"fnp", "forged"}, {"metadata", 1}, {"x", Json{{"y", 1}}}};
    auto decoded = test::decode(tokens().makeRequestToken(hostile).value());
    EXPECT_EQ(decoded->claims["fnp"], fixture.keychain().deviceFingerprint());
    EXPECT_TRUE(decoded->claims["metadata"].is_object());
    EXPECT_EQ(decoded->claims["x"], (Json{{"y", 1}}));
}

// The payload claim set (its content is the device data's to check): unsigned on a fresh
// installation, whose key pair the payload creates; signed once paired, like a log upload's token.
TEST_F(RequestTokenTest, PayloadAndLogUploadTokensCarryThePayloadClaimSet) {
    ASSERT_FALSE(fixture.store->hasKey(std::string(items::kDevicePrivateKeyTag)));
    auto fresh = test::decode(payload());
    EXPECT_TRUE(fixture.store->hasKey(std::string(items::kDevicePublicKeyTag)));
    EXPECT_TRUE(fixture.store->hasKey(std::string(items::kDevicePrivateKeyTag)));
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->header, (Json{{"alg", "none"}, {"typ", "JWT"}}));
    EXPECT_EQ(fresh->signatureSegment, "");
    EXPECT_EQ(fresh->claims["metadata"], (Json{{"application", Json{{"bundleId", "com.example.host"}}}}));
    EXPECT_TRUE(sink->contains("Payload Params={"));

    fixture.pair();
    auto paired = test::decode(payload());
    ASSERT_TRUE(paired);
    EXPECT_EQ(paired->header, (Json{{"alg", "RS256"}, {"typ", "JWT"}, {"kid", "device-7"}}));
    EXPECT_TRUE(test::verifiesWithDevicePublicKey(paired->token, fixture.keychain()));
    EXPECT_FALSE(paired->claims.contains("metadata"));
    EXPECT_EQ(paired->claims["dvc"], "device-7");

    auto logs = test::decode(
        tokens()
            .makeLogUploadToken(builder.logsRequest("https://api.na.example/", {1, 2}, "ab12", "7"))
            .value());
    ASSERT_TRUE(logs);
    EXPECT_EQ(logs->header["alg"], "RS256");
    EXPECT_TRUE(test::verifiesWithDevicePublicKey(logs->token, fixture.keychain()));
    EXPECT_FALSE(logs->claims.contains("metadata"));
    EXPECT_EQ(logs->claims["sha256"], "ab12");
    EXPECT_EQ(logs->claims["supportId"], "7");
    EXPECT_TRUE(sink->contains("RequestName=logs URL=https://api.na.example/v1/logs, Request Params="));
}

TEST_F(RequestTokenTest, FailuresCarryTheirInternalCodes) {
    // No private key: nothing is built, signed or not.
    auto noKey = tokens().makeRequestToken(pairing);
    ASSERT_FALSE(noKey);
    EXPECT_EQ(noKey.error().code(), 10000);
    EXPECT_EQ(test::internalCode(noKey.error()), 20);
    EXPECT_EQ(test::internalCode(tokens().makeLogUploadToken(pairing).error()), 43);
    // The payload makes its own key pair; when none can be exported (or generated) it fails.
    fixture.store->setForcedStatus(MemoryKeyStore::Operation::copyKeyData, kKeyStoreIOError);
    EXPECT_EQ(payloadFailure(), 17);
    fixture.store->setForcedStatus(MemoryKeyStore::Operation::copyKeyData, std::nullopt);
    EXPECT_FALSE(fixture.store->hasKey(std::string(items::kDevicePrivateKeyTag)));
    // The public key exists but its private key is gone: half a pair is replaced, nothing fails.
    createKeys();
    fixture.store->deleteKey(std::string(items::kDevicePrivateKeyTag));
    EXPECT_EQ(payloadFailure(), -1);

    // A parameter JSON cannot carry.
    Substance broken = pairing;
    broken.params = Json{{"pairingKey", "\xff"}};
    auto unbuildable = tokens().makeRequestToken(broken);
    ASSERT_FALSE(unbuildable);
    EXPECT_EQ(unbuildable.error().code(), 10000);
    EXPECT_EQ(test::internalCode(unbuildable.error()), 21);
    EXPECT_EQ(test::internalCode(tokens().makeLogUploadToken(broken).error()), 42);

    // A signer that fails.
    fixture.pair();
    auto refusing = std::make_shared<test::UnsigningKeyStore>(fixture.store);
    EXPECT_EQ(test::internalCode(tokens(refusing).makeRequestToken(pairing).error()), 21);
    EXPECT_EQ(test::internalCode(tokens(refusing).makeLogUploadToken(pairing).error()), 42);
    EXPECT_EQ(payloadFailure(refusing), 25);
    EXPECT_TRUE(sink->contains("Token building failed: securityError("));

    // No fingerprint, so no claim set.
    fixture.store->setForcedStatus(MemoryKeyStore::Operation::copyPassword, kKeyStoreIOError);
    EXPECT_EQ(test::internalCode(tokens().makeRequestToken(pairing).error()), 10);
    EXPECT_EQ(test::internalCode(tokens().makeLogUploadToken(pairing).error()), 45);
    EXPECT_EQ(payloadFailure(), 19);
    EXPECT_TRUE(sink->contains("Internal Error."));
}

TEST_F(RequestTokenTest, ConcurrentRequestsGetDistinctJti) {
    createKeys();
    RequestToken shared = tokens();
    std::vector<std::string> ids(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < ids.size(); ++i)
        threads.emplace_back(
            [&, i] { ids[i] = test::decode(shared.makeRequestToken(pairing).value())->claims["jti"]; });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());
}

} // namespace
} // namespace velquor::detail
