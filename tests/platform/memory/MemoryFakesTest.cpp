#include "platform/KeyStoreStatuses.hpp"
#include "platform/memory/MemoryKeyStore.hpp"
#include "platform/memory/MemoryPreferences.hpp"

#include "../KeyStoreTestSupport.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

using Operation = MemoryKeyStore::Operation;
using test::bytesOf;

TEST(MemoryKeyStore, FailNextAnswersTheInjectedStatusOnceAndTouchesNothing) {
    MemoryKeyStore store;
    ASSERT_EQ(store.addPassword("isPaired", "isPaired", bytesOf("isPaired")), kKeyStoreSuccess);
    store.failNext(Operation::copyPassword, kKeyStoreNotExportable);
    store.failNext(Operation::copyPassword, kKeyStoreIOError);
    std::vector<std::uint8_t> data = bytesOf("stale");
    EXPECT_EQ(store.copyPassword("isPaired", "isPaired", data), kKeyStoreNotExportable);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(store.copyPassword("isPaired", "isPaired", data), kKeyStoreIOError);
    EXPECT_EQ(store.copyPassword("isPaired", "isPaired", data), kKeyStoreSuccess);
    EXPECT_EQ(data, bytesOf("isPaired"));

    store.failNext(Operation::deletePassword, kKeyStoreIOError);
    EXPECT_EQ(store.deletePassword("isPaired", "isPaired"), kKeyStoreIOError);
    EXPECT_TRUE(store.password("isPaired", "isPaired").has_value()) << "an injected failure changes nothing";
    EXPECT_EQ(store.callCount(Operation::copyPassword), 3);
    EXPECT_EQ(store.callCount(Operation::deletePassword), 1);
}

TEST(MemoryKeyStore, ForcedStatusHoldsUntilClearedAndSuccessWithoutDataIsPossible) {
    MemoryKeyStore store(MemoryKeyStore::KeyGeneration::shared);
    store.setForcedStatus(Operation::generateRSAKeyPair, -25293);
    EXPECT_EQ(store.generateRSAKeyPair("pub", "priv", 1024), -25293);
    EXPECT_EQ(store.generateRSAKeyPair("pub", "priv", 1024), -25293);
    EXPECT_FALSE(store.hasKey("pub"));
    store.setForcedStatus(Operation::generateRSAKeyPair, std::nullopt);
    EXPECT_EQ(store.generateRSAKeyPair("pub", "priv", 1024), kKeyStoreSuccess);

    store.setForcedStatus(Operation::copyKeyData, kKeyStoreSuccess); // "success" that carries no data
    std::vector<std::uint8_t> data;
    EXPECT_EQ(store.copyKeyData("pub", data), kKeyStoreSuccess);
    EXPECT_TRUE(data.empty());

    std::vector<std::uint8_t> pkcs1;
    store.setForcedStatus(Operation::copyKeyData, std::nullopt);
    ASSERT_EQ(store.copyKeyData("pub", pkcs1), kKeyStoreSuccess);
    store.setForcedStatus(Operation::createPublicKey, kKeyStoreIOError);
    EXPECT_EQ(store.createPublicKey(pkcs1), nullptr);
    store.setForcedStatus(Operation::createPublicKey, std::nullopt);
    EXPECT_NE(store.createPublicKey(pkcs1), nullptr);
    store.setForcedStatus(Operation::copyKeyRef, kKeyStoreIOError);
    std::shared_ptr<const KeyRef> key;
    EXPECT_EQ(store.copyKeyRef("priv", key), kKeyStoreIOError);
    EXPECT_EQ(key, nullptr);
}

TEST(MemoryKeyStore, SharedGenerationReusesOnePairPerKeySize) {
    MemoryKeyStore first(MemoryKeyStore::KeyGeneration::shared);
    MemoryKeyStore second(MemoryKeyStore::KeyGeneration::shared);
    ASSERT_EQ(first.generateRSAKeyPair("pub", "priv", 1024), kKeyStoreSuccess);
    ASSERT_EQ(second.generateRSAKeyPair("pub", "priv", 1024), kKeyStoreSuccess);
    std::vector<std::uint8_t> a, b;
    first.copyKeyData("pub", a);
    second.copyKeyData("pub", b);
    EXPECT_EQ(a, b);
    first.clear();
    EXPECT_EQ(first.itemCount(), 0u);
    EXPECT_EQ(second.itemCount(), 2u);
}

TEST(MemoryPreferences, HandlesShareSuitesAndSwitchesSimulateFailures) {
    MemoryPreferences preferences;
    auto first = preferences.open("com.marvisTel.VelquorSDK");
    auto second = preferences.open("com.marvisTel.VelquorSDK");
    first->setBool("isPaired", true);
    EXPECT_EQ(second->boolValue("isPaired"), true);
    EXPECT_FALSE(second->stringValue("isPaired").has_value());

    preferences.setLosesWrites(true);
    first->setString("tempValue", "tempValue");
    EXPECT_TRUE(first->synchronize()) << "lost writes are silent";
    EXPECT_FALSE(second->stringValue("tempValue").has_value());
    first->remove("isPaired");
    EXPECT_EQ(second->boolValue("isPaired"), true);
    preferences.setLosesWrites(false);

    preferences.setSynchronizeFails(true);
    EXPECT_FALSE(first->synchronize());
    preferences.setSynchronizeFails(false);

    preferences.setCannotOpen(true);
    EXPECT_EQ(preferences.open("com.marvisTel.VelquorSDK"), nullptr);
    preferences.setCannotOpen(false);
    EXPECT_EQ(preferences.openCount(), 3);

    preferences.reinstall();
    EXPECT_FALSE(first->boolValue("isPaired").has_value());
    preferences.setValue("com.marvisTel.VelquorSDK", "isPaired", true);
    EXPECT_EQ(preferences.value("com.marvisTel.VelquorSDK", "isPaired"), MemoryPreferences::Value(true));
}

} // namespace
} // namespace velquor::detail
