#include "remote/RequestBuilder.hpp"
#include "platform/linux/ConfiguredBundleInfo.hpp"
#include "remote/Substance.hpp"
#include "remote/URLManager.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

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
