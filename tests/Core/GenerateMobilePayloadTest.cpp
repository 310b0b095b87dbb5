// generateMobilePayload through the public interface, on the process's own platform: a key store
// and application directory in a temp directory, as a fresh installation.
#include "Core/Keychain.hpp"
#include "platform/PlatformContext.hpp"

#include "TestSupport.hpp"
#include "TokenTestSupport.hpp"

#include <velquor/Velquor.hpp>

#include <gtest/gtest.h>

namespace velquor {
namespace {

TEST(GenerateMobilePayloadTest, FreshInstallationThenPairedDevice) {
    test::TempDir dir;
    Configuration configuration;
    configuration.keyStoreDirectory = dir.path() / "keys";
    configuration.applicationDirectory = dir.path() / "app";
    configuration.hostApplication.bundleIdentifier = "com.example.payload";
    ASSERT_TRUE(Velquor::configure(configuration));
    detail::Keychain keychain(detail::PlatformContext::get().services.keyStore);

    std::string unsigned_ = Velquor::generateMobilePayload();
    EXPECT_TRUE(unsigned_.ends_with("."));
    EXPECT_TRUE(keychain.getKeyRef(detail::items::kDevicePrivateKeyTag));
    auto fresh = test::decode(unsigned_);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->header, (Json{{"alg", "none"}, {"typ", "JWT"}}));
    EXPECT_EQ(fresh->claims["metadata"], (Json{{"application", Json{{"bundleId", "com.example.payload"}}}}));

    keychain.setString("isPaired", "isPaired");
    keychain.setString("mobileDeviceID", "mdid-1");
    auto paired = test::decode(Velquor::generateMobilePayload());
    ASSERT_TRUE(paired);
    EXPECT_EQ(paired->header, (Json{{"alg", "RS256"}, {"typ", "JWT"}, {"kid", "mdid-1"}}));
    EXPECT_TRUE(test::verifiesWithDevicePublicKey(paired->token, keychain));
    EXPECT_FALSE(paired->claims.contains("metadata"));
}

} // namespace
} // namespace velquor
