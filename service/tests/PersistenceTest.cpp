// The state directory: what survives a restart, file permissions, a replaced server certificate
// and a damaged CA.
#include "ServiceTestSupport.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/stat.h>

namespace velquor::service::test {
namespace {

TEST(PersistenceTest, ARestartedServiceKnowsItsDevicesUploadsKeysAndUsedTokens) {
    TempDir temp;
    const auto directory = temp.path() / "state";
    PairedDevice device;
    std::string caBefore, serverKeyBefore, usedToken;
    const std::string zip = "PK\x03\x04 archive bytes";
    {
        RunningService first({.stateDirectory = directory});
        device = first.pair(TestKey::shared(0));
        const auto upload =
            first.upload(device, device.payloadToken({{"sha256", sha256Hex(zip)}, {"supportId", "42"}}),
                         multipartBody(zip));
        ASSERT_EQ(upload.status, 201) << upload.body;
        usedToken = device.token();
        ASSERT_EQ(first.post(device.baseURL + "v1/deviceInfo", usedToken).status, 200);
        caBefore = readFile(directory / "ca.pem");
        serverKeyBefore = first.serverPublicKey();
    }
    // A server certificate that no longer matches its key is issued again (every request below verifies it).
    std::filesystem::remove(directory / "server-key.pem");
    RunningService second({.stateDirectory = directory});
    EXPECT_EQ(readFile(directory / "ca.pem"), caBefore);
    EXPECT_EQ(second.serverPublicKey(), serverKeyBefore);
    device.baseURL = second.baseURL(Region::eu);
    const auto info = second.post(device.baseURL + "v1/deviceInfo", device.token());
    ASSERT_EQ(info.status, 200) << info.body;
    EXPECT_EQ(second.replyClaims(info)["public"]["id"], device.id);
    EXPECT_EQ(second.post(device.baseURL + "v1/deviceInfo", usedToken).status, 401);
    EXPECT_EQ(second.adminRaw("GET", "uploads/42").body, zip);
    const auto state = second.adminGet("state");
    EXPECT_EQ(state["devices"].size(), 1u);
    EXPECT_EQ(state["devices"][0]["finalized"], true);
    EXPECT_EQ(state["uploads"][0]["supportId"], "42");

    for (const char* name :
         {"ca-key.pem", "server-key.pem", "service-key.pem", "service.db", "service.db-wal"}) {
        struct stat status {};
        ASSERT_EQ(::stat((directory / name).c_str(), &status), 0) << name;
        EXPECT_EQ(status.st_mode & 0777, 0600u) << name;
    }

    // A damaged CA stops the next start and is left as it is.
    second.stop();
    std::ofstream(directory / "ca.pem", std::ios::trunc) << "not a certificate";
    const auto error = ReferenceService({.stateDirectory = directory}).start();
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("ca.pem"), std::string::npos) << *error;
    EXPECT_EQ(readFile(directory / "ca.pem"), "not a certificate");
}

} // namespace
} // namespace velquor::service::test
