#include "state/Keychain.hpp"
#include "platform/memory/MemoryKeyStore.hpp"

#include "OpenSSLTestKeys.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

using Op = MemoryKeyStore::Operation;

class KeychainStrings : public testing::Test {
protected:
    std::shared_ptr<MemoryKeyStore> store =
        std::make_shared<MemoryKeyStore>(MemoryKeyStore::KeyGeneration::shared);
    Keychain keychain{store};
};

TEST_F(KeychainStrings, ReadsAndWritesKeepTheStatusAndOneItemPerName) {
    // What a read answers: its status, the store's status and the text (string reads carry no data).
    const auto read = [&](std::string_view name) {
        const KeychainResult result = keychain.getString(name);
        EXPECT_FALSE(result.data) << name;
        return std::tuple(result.status, result.osStatus, result.text);
    };
    EXPECT_EQ(read("isPaired"), std::tuple(KeychainStatus::itemNotFound, -25300, std::nullopt));
    // Delete is true only when an item went.
    EXPECT_FALSE(keychain.deleteString("stayPaired"));
    keychain.setString("stayPaired", "stayPaired");
    EXPECT_TRUE(keychain.deleteString("stayPaired"));
    EXPECT_EQ(keychain.getString("stayPaired").status, KeychainStatus::itemNotFound);

    EXPECT_TRUE(keychain.setString("dataCenter", "NA"));
    EXPECT_TRUE(keychain.setString("dataCenter", "EU"));
    EXPECT_EQ(store->itemCount(), 1u);
    EXPECT_EQ(read("dataCenter"), std::tuple(KeychainStatus::success, 0, "EU"));
    EXPECT_EQ(store->password("dataCenter", "dataCenter"), test::bytesOf("EU"))
        << "service and account are the name";
    // Each write is one replace, never a delete then an add.
    EXPECT_EQ(store->callCount(Op::replacePassword), 3);
    EXPECT_EQ(store->callCount(Op::addPassword), 0);
    EXPECT_EQ(store->callCount(Op::deletePassword), 2) << "only the two deletes above";

    store->failNext(Op::copyPassword, -25308);
    EXPECT_EQ(read("dataCenter"), std::tuple(KeychainStatus::failure, -25308, std::nullopt));

    store->addPassword("logsKey", "logsKey", {0xC3, 0x28});
    EXPECT_EQ(read("logsKey"), std::tuple(KeychainStatus::success, 0, std::nullopt))
        << "invalid UTF-8 is a success without text";
    keychain.setString("name", "na\xC3\xAFve");
    EXPECT_EQ(keychain.getString("name").text, "na\xC3\xAFve");
}

TEST_F(KeychainStrings, WriteResultFollowsTheStoreStatus) {
    const std::pair<KeyStoreStatus, bool> cases[] = {
        {kKeyStoreDuplicateItem, true}, {kKeyStoreIOError, false}, {kKeyStoreItemNotFound, false}};
    for (const auto& [status, written] : cases) {
        store->failNext(Op::replacePassword, status);
        EXPECT_EQ(keychain.setString("a", "1"), written) << status;
    }
}

TEST_F(KeychainStrings, RemoveAllItemsRemovesLocalDataAndKeepsFingerprintAndStayPaired) {
    const char* removed[] = {"isPaired",         "deviceTokenStr",         "mobileDeviceID",
                             "deviceMarketName", "installedApplicationID", "dataCenter",
                             "logsKey"};
    for (const char* name : removed)
        ASSERT_TRUE(keychain.setString(name, "value"));
    ASSERT_TRUE(keychain.setString("deviceFingerprint", "value of deviceFingerprint"));
    ASSERT_TRUE(keychain.setString("stayPaired", "value of stayPaired"));
    ASSERT_TRUE(keychain.getDevicePublicKeyString());
    ASSERT_EQ(store->addKey(std::string(items::kServerPublicKeyTag), test::freshPublicKey()), 0);
    // Tags without the zero byte are other items and stay.
    const std::string strippedTag(
        items::kDevicePublicKeyTag.substr(0, items::kDevicePublicKeyTag.size() - 1));
    ASSERT_EQ(store->addKey(strippedTag, test::freshPublicKey()), 0);

    keychain.removeAllItems();

    for (const char* name : removed)
        EXPECT_EQ(keychain.getString(name).status, KeychainStatus::itemNotFound) << name;
    EXPECT_EQ(keychain.getString("deviceFingerprint").text, "value of deviceFingerprint");
    EXPECT_EQ(keychain.getString("stayPaired").text, "value of stayPaired");
    EXPECT_FALSE(store->hasKey(std::string(items::kDevicePublicKeyTag)));
    EXPECT_FALSE(store->hasKey(std::string(items::kDevicePrivateKeyTag)));
    EXPECT_FALSE(store->hasKey(std::string(items::kServerPublicKeyTag)));
    EXPECT_TRUE(store->hasKey(strippedTag));
}

TEST_F(KeychainStrings, RemoveAllItemsRunsEveryStepWhateverTheOthersAnswer) {
    keychain.setString("isPaired", "isPaired");
    keychain.setString("deviceMarketName", "Phone");
    store->setForcedStatus(Op::deleteKey, kKeyStoreIOError);
    store->failNext(Op::deletePassword, kKeyStoreIOError, 2);
    keychain.removeAllItems();
    EXPECT_EQ(store->callCount(Op::deleteKey), 2); // the device pair in one step, then the service key
    EXPECT_EQ(store->callCount(Op::deletePassword), 7);
    EXPECT_FALSE(keychain.getString("isPaired").text);
    EXPECT_FALSE(keychain.getString("deviceMarketName").text);
}

} // namespace
} // namespace velquor::detail
