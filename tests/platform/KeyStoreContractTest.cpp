// The same behaviour asked of the file store and of the memory fake other suites rely on.
#include "platform/KeyStoreStatuses.hpp"
#include "platform/linux/FileKeyStore.hpp"
#include "platform/memory/MemoryKeyStore.hpp"
#include "state/ItemNames.hpp"

#include "OpenSSLTestKeys.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

using test::bytesOf;

const std::string kPublicTag(items::kDevicePublicKeyTag), kPrivateTag(items::kDevicePrivateKeyTag);

// The parameter: whether the store is the file store.
class KeyStoreContract : public ::testing::TestWithParam<bool> {
protected:
    test::TempDir dir_;
    std::shared_ptr<KeyStore> store_ =
        GetParam() ? std::shared_ptr<KeyStore>(std::make_shared<FileKeyStore>(dir_.path() / "keystore"))
                   : std::make_shared<MemoryKeyStore>();
};

TEST_P(KeyStoreContract, PasswordItemsAnswerThePlatformStatuses) {
    std::vector<std::uint8_t> data = bytesOf("stale");
    EXPECT_EQ(store_->copyPassword("isPaired", "isPaired", data), kKeyStoreItemNotFound);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(store_->deletePassword("isPaired", "isPaired"), kKeyStoreItemNotFound);

    EXPECT_EQ(store_->addPassword("isPaired", "isPaired", bytesOf("first")), kKeyStoreSuccess);
    EXPECT_EQ(store_->addPassword("isPaired", "isPaired", bytesOf("second")), kKeyStoreDuplicateItem);
    EXPECT_EQ(store_->copyPassword("isPaired", "isPaired", data), kKeyStoreSuccess);
    EXPECT_EQ(data, bytesOf("first")) << "a duplicate add must keep the stored item";

    EXPECT_EQ(store_->replacePassword("isPaired", "isPaired", bytesOf("third")), kKeyStoreSuccess);
    EXPECT_EQ(store_->copyPassword("isPaired", "isPaired", data), kKeyStoreSuccess);
    EXPECT_EQ(data, bytesOf("third"));
    EXPECT_EQ(store_->replacePassword("fresh", "fresh", {}), kKeyStoreSuccess) << "replace creates";
    EXPECT_EQ(store_->copyPassword("fresh", "fresh", data), kKeyStoreSuccess);
    EXPECT_TRUE(data.empty());

    // Service and account both name the item.
    EXPECT_EQ(store_->copyPassword("isPaired", "other", data), kKeyStoreItemNotFound);
    EXPECT_EQ(store_->deletePassword("isPaired", "isPaired"), kKeyStoreSuccess);
    EXPECT_EQ(store_->copyPassword("isPaired", "isPaired", data), kKeyStoreItemNotFound);
}

// A generated pair exports only its public half; generation refuses taken tags and bad parameters.
TEST_P(KeyStoreContract, GenerationMakesAPairOfWhichOnlyThePublicHalfExportsAndReplacesALonePrivateKey) {
    ASSERT_EQ(store_->generateRSAKeyPair(kPublicTag, kPrivateTag, 1024), kKeyStoreSuccess);
    std::vector<std::uint8_t> before, after;
    ASSERT_EQ(store_->copyKeyData(kPublicTag, before), kKeyStoreSuccess);
    EXPECT_TRUE(RSAKeyCodec::parsePublicPkcs1(before.data(), before.size())) << "exported as PKCS#1";
    std::vector<std::uint8_t> privateData = bytesOf("stale");
    EXPECT_EQ(store_->copyKeyData(kPrivateTag, privateData), kKeyStoreNotExportable);
    EXPECT_TRUE(privateData.empty());
    std::shared_ptr<const KeyRef> privateKey, publicRef;
    ASSERT_EQ(store_->copyKeyRef(kPrivateTag, privateKey), kKeyStoreSuccess);
    ASSERT_EQ(store_->copyKeyRef(kPublicTag, publicRef), kKeyStoreSuccess);
    ASSERT_TRUE(privateKey && publicRef);
    EXPECT_TRUE(privateKey->isPrivate());
    EXPECT_FALSE(publicRef->isPrivate());
    EXPECT_EQ(privateKey->blockSize(), 128u);

    EXPECT_EQ(store_->generateRSAKeyPair(kPublicTag, kPrivateTag, 1024), kKeyStoreDuplicateItem);
    ASSERT_EQ(store_->copyKeyData(kPublicTag, after), kKeyStoreSuccess);
    EXPECT_EQ(before, after) << "a refused generation must change nothing";
    // A private tag that holds a public key is never overwritten.
    ASSERT_EQ(store_->addKey("taken", test::freshPublicKey()), kKeyStoreSuccess);
    EXPECT_EQ(store_->generateRSAKeyPair("pub2", "taken", 1024), kKeyStoreDuplicateItem);
    EXPECT_EQ(store_->copyKeyData("pub2", after), kKeyStoreItemNotFound);
    EXPECT_EQ(store_->generateRSAKeyPair("same", "same", 1024), kKeyStoreParameterError);
    EXPECT_EQ(store_->generateRSAKeyPair("p", "q", 512), kKeyStoreParameterError);
    EXPECT_EQ(store_->generateRSAKeyPair("p", "q", 0), kKeyStoreParameterError);

    // A lone private key, as a generation stopped halfway leaves it, is replaced by the next one.
    ASSERT_EQ(store_->deleteKey(kPublicTag), kKeyStoreSuccess);
    ASSERT_EQ(store_->generateRSAKeyPair(kPublicTag, kPrivateTag, 1024), kKeyStoreSuccess);
    std::vector<std::uint8_t> signature;
    ASSERT_EQ(store_->copyKeyData(kPublicTag, after), kKeyStoreSuccess);
    ASSERT_EQ(store_->copyKeyRef(kPrivateTag, privateKey), kKeyStoreSuccess);
    ASSERT_EQ(
        privateKey->rawSign(DigestAlgorithm::sha256, test::digestOf(DigestAlgorithm::sha256, "m"), signature),
        kKeyStoreSuccess);
    EXPECT_TRUE(test::digestVerify(after, DigestAlgorithm::sha256, "m", signature))
        << "the stored private key must belong to the stored public key";
    EXPECT_FALSE(test::digestVerify(before, DigestAlgorithm::sha256, "m", signature));
}

TEST_P(KeyStoreContract, AddKeyStoresOnlyValidPkcs1AndNeverReplaces) {
    const auto first = test::freshPublicKey();
    const auto second = test::freshPublicKey();
    EXPECT_EQ(store_->addKey("serverPublicKeyIdentifier", first), kKeyStoreSuccess);
    EXPECT_EQ(store_->addKey("serverPublicKeyIdentifier", second), kKeyStoreDuplicateItem);
    EXPECT_EQ(store_->addKey("serverPublicKeyIdentifier", first), kKeyStoreDuplicateItem);
    std::vector<std::uint8_t> stored;
    ASSERT_EQ(store_->copyKeyData("serverPublicKeyIdentifier", stored), kKeyStoreSuccess);
    EXPECT_EQ(stored, first);

    // SubjectPublicKeyInfo wrapper of the same key: not PKCS#1.
    const auto wrapped = test::subjectPublicKeyInfo(test::publicKeyFromPKCS1(first).get());
    auto trailing = first;
    trailing.push_back(0);
    auto truncated = first;
    truncated.pop_back();
    const std::vector<std::uint8_t> f4{0x01, 0x00, 0x01};
    const auto evenModulus = test::pkcs1Of(test::modulusOf(64, 0x12), f4);
    const auto smallModulus = test::pkcs1Of(test::modulusOf(32, 0x13), f4);
    const auto exponentOne = test::pkcs1Of(test::modulusOf(64, 0x13), {0x01});
    const auto evenExponent = test::pkcs1Of(test::modulusOf(64, 0x13), {0x01, 0x00, 0x02});
    ASSERT_NE(store_->createPublicKey(test::pkcs1Of(test::modulusOf(64, 0x13), f4)), nullptr)
        << "the hand-made encoding itself must be acceptable";
    for (const auto& refused : {std::vector<std::uint8_t>{}, bytesOf("not a key"), wrapped, trailing,
                                truncated, evenModulus, smallModulus, exponentOne, evenExponent}) {
        EXPECT_EQ(store_->addKey("refused", refused), kKeyStoreParameterError);
        EXPECT_EQ(store_->createPublicKey(refused), nullptr);
    }
    EXPECT_EQ(store_->copyKeyData("refused", stored), kKeyStoreItemNotFound);

    auto built = store_->createPublicKey(second);
    ASSERT_NE(built, nullptr);
    EXPECT_FALSE(built->isPrivate());
    EXPECT_EQ(built->blockSize(), 128u);

    EXPECT_EQ(store_->deleteKey("serverPublicKeyIdentifier"), kKeyStoreSuccess);
    EXPECT_EQ(store_->deleteKey("serverPublicKeyIdentifier"), kKeyStoreItemNotFound);
    std::shared_ptr<const KeyRef> gone = built;
    EXPECT_EQ(store_->copyKeyRef("serverPublicKeyIdentifier", gone), kKeyStoreItemNotFound);
    EXPECT_EQ(gone, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Stores, KeyStoreContract, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "File" : "Memory"; });

} // namespace
} // namespace velquor::detail
