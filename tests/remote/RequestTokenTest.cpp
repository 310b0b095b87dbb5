#include "remote/RequestToken.hpp"
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
        if (!store)
            store = fixture.store;
        return RequestToken(DataManager::make(fixture.collaborators(store)), store);
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
    EXPECT_EQ(decoded->claims["iss"], "app-42");
    EXPECT_EQ(decoded->claims["dvc"], "device-7");
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

TEST_F(RequestTokenTest, LogUploadTokenUsesThePayloadClaimSet) {
    createKeys();
    fixture.pair();
    Substance logs = builder.logsRequest("https://api.na.example/", {1, 2}, "ab12", "7");
    auto token = tokens().makeLogUploadToken(logs);
    ASSERT_TRUE(token);
    auto decoded = test::decode(token.value());
    EXPECT_EQ(decoded->header["alg"], "RS256");
    EXPECT_FALSE(decoded->claims.contains("metadata"));
    EXPECT_EQ(decoded->claims["sha256"], "ab12");
    EXPECT_EQ(decoded->claims["supportId"], "7");
    EXPECT_TRUE(sink->contains("RequestName=logs URL=https://api.na.example/v1/logs, Request Params="));
}

TEST_F(RequestTokenTest, FailuresCarryTheirInternalCodes) {
    // No private key: nothing is built, signed or not.
    auto noKey = tokens().makeRequestToken(pairing);
    ASSERT_FALSE(noKey);
    EXPECT_EQ(noKey.error().code(), 10000);
    EXPECT_EQ(test::internalCode(noKey.error()), 20);
    auto noKeyLogs = tokens().makeLogUploadToken(pairing);
    ASSERT_FALSE(noKeyLogs);
    EXPECT_EQ(test::internalCode(noKeyLogs.error()), 43);

    // A parameter JSON cannot carry.
    createKeys();
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
    EXPECT_TRUE(sink->contains("Token building failed: "));

    // No fingerprint, so no claim set.
    fixture.store->setForcedStatus(MemoryKeyStore::Operation::copyPassword, kKeyStoreIOError);
    EXPECT_EQ(test::internalCode(tokens().makeRequestToken(pairing).error()), 10);
    EXPECT_EQ(test::internalCode(tokens().makeLogUploadToken(pairing).error()), 45);
    EXPECT_TRUE(sink->contains("Internal Error."));
}

TEST_F(RequestTokenTest, DeviceFactsThatAreNotUtf8NeverStopATokenBuild) {
    createKeys();
    auto values = fixture.facts->values();
    values.deviceName = std::string("Phone\xff\xfe");
    values.systemVersion = std::string("\xc0\xaf");
    fixture.facts->set(values);
    auto token = tokens().makeRequestToken(pairing);
    ASSERT_TRUE(token);
    EXPECT_EQ(test::decode(token.value())->claims["metadata"]["name"], "Phone\xEF\xBF\xBD\xEF\xBF\xBD");
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
