// Requests to the service: what they carry, and the tokens of requests, log uploads and the mobile
// payload over the memory key store.
#include "remote/RequestToken.hpp"
#include "platform/linux/ConfiguredBundleInfo.hpp"
#include "remote/Payload.hpp"
#include "remote/RequestBuilder.hpp"
#include "remote/Substance.hpp"
#include "remote/URLManager.hpp"

#include "DeviceTestSupport.hpp"
#include "FoundationSupport.hpp"
#include "TestSupport.hpp"
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

// The requests themselves: name, address and parameters, and the region a pairing key names.
constexpr const char* kEU = "https://api.eu.example/";

std::shared_ptr<const BundleInfo> hostBundle(const std::string& identifier, const test::TempDir& dir) {
    HostApplication host;
    host.bundleIdentifier = identifier;
    return std::make_shared<ConfiguredBundleInfo>(host, dir.path());
}

struct BundleCase {
    const char* address;
    const char* expected;
};

TEST(SubstanceTest, BundleStepAddsTheIdentifierOnlyWhereAQueryExists) {
    const BundleCase cases[] = {
        {"https://a.example/v1/push?x=1", "https://a.example/v1/push?x=1&bundleId=com.example.host"},
        {"https://a.example/v1/push", "https://a.example/v1/push"},
        {"https://a.example:8443/v1/push?x=1&y=%2F",
         "https://a.example:8443/v1/push?x=1&y=%2F&bundleId=com.example.host"},
        {"https://a.example/v1/push?x=1#frag",
         "https://a.example/v1/push?x=1&bundleId=com.example.host#frag"},
        {"https://a.example/v1/push#frag?x=1", "https://a.example/v1/push#frag?x=1"},
        {"https://a.example/v1/push?", "https://a.example/v1/push?bundleId=com.example.host"},
        {"https://[::1]:9/p?x", "https://[::1]:9/p?x&bundleId=com.example.host"},
        {"HTTPS://a.example/a/../b?x", "https://a.example/a/../b?x&bundleId=com.example.host"},
        {"HTTPS://a.example/a/../b", "HTTPS://a.example/a/../b"},
        {"not a url?x=1", "not a url?x=1"},
        {"https://bad host/p?x=1", "https://bad host/p?x=1"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Substance(c.address, std::nullopt, "validatePush", "com.example.host").urlString,
                  c.expected)
            << c.address;
}

TEST(SubstanceTest, BundleStepEncodesTheIdentifierAndUsesEmptyTextWithoutOne) {
    EXPECT_EQ(Substance("https://a/p?x=1", std::nullopt, "n", std::nullopt).urlString,
              "https://a/p?x=1&bundleId=");
    EXPECT_EQ(Substance("https://a/p?x=1", std::nullopt, "n", "com.example a&b=c").urlString,
              "https://a/p?x=1&bundleId=com.example%20a%26b%3dc"); // libcurl writes hex digits in lower case
}

class RequestBuilderTest : public ::testing::Test {
protected:
    test::TempDir dir;
    RequestBuilder builder{hostBundle("com.example.host", dir)};
};

TEST_F(RequestBuilderTest, ServiceRequestsCarryTheirNameAddressAndParameters) {
    const struct {
        Substance substance;
        const char* name;
        const char* address;
        std::optional<Json> params;
    } cases[] = {
        {builder.pairingRequest(kEU, "02ABC", "a1b2", "MIIBIjAN"), "pairings",
         "https://api.eu.example/v1/pairings",
         Json{{"pairingKey", "02ABC"},
              {"mobileDevice", Json{{"publicKey", "MIIBIjAN"}}},
              {"installedApplication", Json{{"pushToken", "a1b2"}}}}},
        {builder.finalizeRequest(kEU, "abc-123"), "finalize", "https://api.eu.example/v1/pairings/abc-123",
         std::nullopt},
        {builder.updatePushTokenRequest(kEU, "ff00", "app-7"), "updatePushToken",
         "https://api.eu.example/v1/installedApplications/app-7/updatePushToken", Json{{"token", "ff00"}}},
        {builder.deviceInfoRequest(kEU), "deviceInfo", "https://api.eu.example/v1/deviceInfo", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.substance.name, c.name);
        EXPECT_EQ(c.substance.urlString, c.address);
        EXPECT_EQ(c.substance.params, c.params) << c.name;
        EXPECT_FALSE(c.substance.logData) << c.name;
    }
    // The pairing id is not percent-encoded: an id that makes the address unparsable is posted as it is.
    EXPECT_EQ(builder.finalizeRequest(kEU, "a b/%zz").urlString,
              "https://api.eu.example/v1/pairings/a b/%zz");

    Substance logs = builder.logsRequest(kEU, {1, 2, 3}, "ab12", "709551616");
    EXPECT_EQ(logs.name, "logs");
    EXPECT_EQ(logs.urlString, "https://api.eu.example/v1/logs");
    EXPECT_EQ(logs.params, (Json{{"sha256", "ab12"}, {"supportId", "709551616"}}));
    EXPECT_EQ(logs.logData, (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(RequestBuilderTest, ValidatePushRequestAddsOnlyTheGivenOptions) {
    Substance plain =
        builder.validatePushRequest("approve", "https://svc.example/push/1", std::nullopt, std::nullopt);
    EXPECT_EQ(plain.name, "validatePush");
    EXPECT_EQ(plain.urlString, "https://svc.example/push/1");
    EXPECT_EQ(plain.params, (Json{{"action", "approve"}}));

    Substance full = builder.validatePushRequest("deny", "https://svc.example/push/1?x=1", false, "faceID");
    EXPECT_EQ(full.urlString, "https://svc.example/push/1?x=1&bundleId=com.example.host");
    EXPECT_EQ(full.params, (Json{{"action", "deny"}, {"isBanner", false}, {"method", "faceID"}}));

    Substance unparsable = builder.validatePushRequest("approve", "::not a url?x=1", true, std::nullopt);
    EXPECT_EQ(unparsable.urlString, "::not a url?x=1");
    EXPECT_EQ(unparsable.params, (Json{{"action", "approve"}, {"isBanner", true}}));
}

TEST(URLManagerTest, RegionComesFromThePairingKeyPrefix) {
    URLManager manager("https://na/", "https://eu/", "https://au/");
    const std::pair<const char*, const char*> cases[] = {
        {"02ABCDEF", "https://eu/"}, {"03ABCDEF", "https://au/"}, {"01ABCDEF", "https://na/"},
        {"2", "https://na/"},        {"", "https://na/"},         {"0", "https://na/"},
        {"02", "https://eu/"},       {"20", "https://na/"},       {" 02", "https://na/"},
        {"04", "https://na/"},
    };
    for (const auto& [key, base] : cases)
        EXPECT_EQ(manager.baseURL(key), base) << '"' << key << '"';
}

} // namespace
} // namespace velquor::detail
