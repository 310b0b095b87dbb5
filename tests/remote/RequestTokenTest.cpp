// Requests to the service: what they carry, and the tokens of requests, log uploads and the mobile
// payload over the memory key store.
#include "remote/RequestToken.hpp"
#include "remote/Payload.hpp"
#include "remote/RequestBuilder.hpp"
#include "remote/Substance.hpp"
#include "remote/URLManager.hpp"

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
    RequestToken tokens() { return RequestToken(DataManager::make(fixture.collaborators()), fixture.store); }
    std::string payload() {
        return Payload(DataManager::make(fixture.collaborators()), fixture.store).create();
    }
    // The internal code of the Error payload() throws; -1 when it returns.
    int payloadFailure() {
        try {
            payload();
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

// Unpaired, a request goes unsigned; its claims win over parameters of the same name. With a device
// id too, the service checks the signature, "kid" and the paired claim set of every request in the
// communication tests; here, that it is signed even before the mobile device is known.
TEST_F(RequestTokenTest, RequestIsUnsignedUntilPairedAndItsClaimsWinOverParameters) {
    createKeys();
    auto decoded = test::decode(tokens().makeRequestToken(pairing).value());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->header, (Json{{"alg", "none"}, {"typ", "JWT"}}));
    EXPECT_EQ(decoded->token.base64Parts.signature, "");
    // The service refuses a pairing without its three parameters (the communication tests pair).
    EXPECT_FALSE(decoded->claims.contains("iss")) << "the claim set is the unpaired one";
    EXPECT_TRUE(
        sink->contains("RequestName=pairings URL=https://api.na.example/v1/pairings, Request Params={"));
    EXPECT_TRUE(sink->contains("\"pairingKey\":\"01KEY\""));

    Substance hostile = pairing;
    hostile.params = Json{{"fnp", "forged"}, {"metadata", 1}, {"x", Json{{"y", 1}}}};
    decoded = test::decode(tokens().makeRequestToken(hostile).value());
    EXPECT_EQ(decoded->claims["fnp"], fixture.keychain().deviceFingerprint());
    EXPECT_TRUE(decoded->claims["metadata"].is_object());
    EXPECT_EQ(decoded->claims["x"], (Json{{"y", 1}}));

    fixture.pair(false);
    decoded = test::decode(tokens().makeRequestToken(pairing).value());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->header, (Json{{"alg", "RS256"}, {"typ", "JWT"}}));
    EXPECT_EQ(decoded->token.base64Parts.signature.size(), 342u) << "signed with an RSA-2048 device key";
    EXPECT_TRUE(test::verifiesWithDevicePublicKey(decoded->token, fixture.keychain()));

    RequestToken shared = tokens();
    std::vector<std::string> ids(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < ids.size(); ++i)
        threads.emplace_back(
            [&, i] { ids[i] = test::decode(shared.makeRequestToken(pairing).value())->claims["jti"]; });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size()) << "concurrent jti";
}

// The payload claim set (its content is the device data's to check): unsigned on a fresh
// installation, whose key pair the payload creates; signed once paired. The log upload's token,
// which carries it too, is checked by the service in the log upload flow's test.
TEST_F(RequestTokenTest, PayloadCarriesThePayloadClaimSet) {
    ASSERT_FALSE(fixture.store->hasKey(std::string(items::kDevicePrivateKeyTag)));
    auto fresh = test::decode(payload());
    EXPECT_TRUE(fixture.store->hasKey(std::string(items::kDevicePublicKeyTag)));
    EXPECT_TRUE(fixture.store->hasKey(std::string(items::kDevicePrivateKeyTag)));
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->header, (Json{{"alg", "none"}, {"typ", "JWT"}}));
    EXPECT_EQ(fresh->token.base64Parts.signature, "");
    EXPECT_EQ(fresh->claims["metadata"], (Json{{"application", Json{{"bundleId", "com.example.host"}}}}));
    EXPECT_TRUE(sink->contains("Payload Params={"));

    fixture.pair();
    auto paired = test::decode(payload());
    ASSERT_TRUE(paired);
    EXPECT_EQ(paired->header, (Json{{"alg", "RS256"}, {"typ", "JWT"}, {"kid", "device-7"}}));
    EXPECT_TRUE(test::verifiesWithDevicePublicKey(paired->token, fixture.keychain()));
    EXPECT_FALSE(paired->claims.contains("metadata"));
    EXPECT_EQ(paired->claims["dvc"], "device-7");
}

TEST_F(RequestTokenTest, FailuresCarryTheirInternalCodes) {
    // No private key: nothing is built, signed or not.
    const auto noKey = tokens().makeRequestToken(pairing).error();
    EXPECT_EQ(Json({noKey.code(), test::internalCode(noKey)}), Json({10000, 20}));
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
    const auto unbuildable = tokens().makeRequestToken(broken).error();
    EXPECT_EQ(Json({unbuildable.code(), test::internalCode(unbuildable)}), Json({10000, 21}));
    EXPECT_EQ(test::internalCode(tokens().makeLogUploadToken(broken).error()), 42);

    // A signer that fails.
    fixture.pair();
    fixture.store->setForcedStatus(MemoryKeyStore::Operation::privateKeyUse, kKeyStoreIOError);
    EXPECT_EQ(test::internalCode(tokens().makeRequestToken(pairing).error()), 21);
    EXPECT_EQ(test::internalCode(tokens().makeLogUploadToken(pairing).error()), 42);
    EXPECT_EQ(payloadFailure(), 25);
    EXPECT_TRUE(sink->contains("Token building failed: securityError("));
    fixture.store->setForcedStatus(MemoryKeyStore::Operation::privateKeyUse, std::nullopt);

    // No fingerprint, so no claim set.
    fixture.store->setForcedStatus(MemoryKeyStore::Operation::copyPassword, kKeyStoreIOError);
    EXPECT_EQ(test::internalCode(tokens().makeRequestToken(pairing).error()), 10);
    EXPECT_EQ(test::internalCode(tokens().makeLogUploadToken(pairing).error()), 45);
    EXPECT_EQ(payloadFailure(), 19);
    EXPECT_TRUE(sink->contains("Internal Error."));
}

// The requests themselves: their address with the bundle step, their names, and the region a
// pairing key names.
constexpr const char* kEU = "https://api.eu.example/";

TEST(SubstanceTest, BundleStepAddsTheEncodedIdentifierOnlyWhereAQueryExists) {
    const std::pair<const char*, const char*> cases[] = {
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
    for (const auto& [address, expected] : cases)
        EXPECT_EQ(Substance(address, std::nullopt, "validatePush", "com.example.host").urlString, expected)
            << address;
    // The identifier is encoded; without one the value is empty.
    EXPECT_EQ(Substance("https://a/p?x=1", std::nullopt, "n", std::nullopt).urlString,
              "https://a/p?x=1&bundleId=");
    EXPECT_EQ(Substance("https://a/p?x=1", std::nullopt, "n", "com.example a&b=c").urlString,
              "https://a/p?x=1&bundleId=com.example%20a%26b%3dc"); // libcurl writes hex digits in lower case
}

// Each flow's request reaches the reference service in the flow tests, which refuses a wrong address
// or parameter; the name is what the request log lines carry.
TEST(RequestBuilderTest, ServiceRequestsCarryTheirNames) {
    RequestBuilder builder{std::make_shared<test::FixedBundle>(test::hostValues())};
    const std::pair<Substance, const char*> cases[] = {
        {builder.pairingRequest(kEU, "02ABC", "a1b2", "MIIBIjAN"), "pairings"},
        {builder.finalizeRequest(kEU, "abc-123"), "finalize"},
        {builder.updatePushTokenRequest(kEU, "ff00", "app-7"), "updatePushToken"},
        {builder.deviceInfoRequest(kEU), "deviceInfo"},
        {builder.validatePushRequest("approve", "https://svc.example/push/1", true, std::nullopt),
         "validatePush"},
        {builder.logsRequest(kEU, {1, 2, 3}, "ab12", "709551616"), "logs"}};
    for (const auto& [substance, name] : cases) {
        EXPECT_EQ(substance.name, name);
        EXPECT_EQ(substance.logData.has_value(), std::string(name) == "logs") << name;
    }
    // The pairing id is not percent-encoded: an id that makes the address unparsable is posted as it is.
    EXPECT_EQ(builder.finalizeRequest(kEU, "a b/%zz").urlString,
              "https://api.eu.example/v1/pairings/a b/%zz");
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
