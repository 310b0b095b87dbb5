// Before any OpenSSL header: a replaced random method is the one way to make the process random
// source fail, and OpenSSL marks it deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "state/Keychain.hpp"

#include "platform/KeyStoreStatuses.hpp"
#include "platform/linux/FileKeyStore.hpp"
#include "platform/memory/MemoryKeyStore.hpp"
#include "util/Base64.hpp"

#include "FoundationSupport.hpp"
#include "OpenSSLTestKeys.hpp"

#include <gtest/gtest.h>

#include <openssl/rand.h>

#include <atomic>
#include <latch>
#include <regex>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace velquor::detail {
namespace {

using Op = MemoryKeyStore::Operation;
using test::Bytes;

// The store's private key signs; the public key OpenSSL reads from the SubjectPublicKeyInfo text
// `publicText` must verify it.
void expectMatchingPair(const Keychain& keychain, const std::string& publicText) {
    const auto privateKey = keychain.getKeyRef(items::kDevicePrivateKeyTag);
    ASSERT_TRUE(privateKey && privateKey->isPrivate());
    const Bytes digest = test::digestOf(DigestAlgorithm::sha256, "header.claims");
    Bytes signature;
    ASSERT_EQ(privateKey->rawSign(DigestAlgorithm::sha256, digest, signature), kKeyStoreSuccess);
    const Bytes spki = *base64Decode(publicText);
    const unsigned char* p = spki.data();
    EVP_PKEY_ptr openSSLKey(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
    ASSERT_TRUE(openSSLKey);
    EXPECT_TRUE(
        test::referenceVerify(openSSLKey.get(), EVP_sha256(), test::bytesOf("header.claims"), signature));
}

class KeychainTest : public ::testing::Test {
protected:
    test::ScopedLogSink sink;
    std::shared_ptr<MemoryKeyStore> store = std::make_shared<MemoryKeyStore>();
    Keychain keychain{store};
};

TEST_F(KeychainTest, OnlyNotFoundMakesAKeyPairOrFingerprintAndAFailedGenerationIsRetried) {
    store->failNext(Op::copyKeyData, kKeyStoreIOError);
    EXPECT_FALSE(keychain.getDevicePublicKeyString());
    EXPECT_EQ(store->callCount(Op::generateRSAKeyPair), 0);
    EXPECT_FALSE(sink->contains("Can't fetch public key"));
    // The next export, with the store readable again, generates; a failed generation is logged
    // and tried again on the export after it.
    store->failNext(Op::generateRSAKeyPair, kKeyStoreIOError);
    EXPECT_FALSE(keychain.getDevicePublicKeyString());
    EXPECT_TRUE(sink->contains("Error generating key pair: -36"));
    EXPECT_TRUE(sink->contains("Can't fetch public key"));
    EXPECT_TRUE(keychain.getDevicePublicKeyString());
    EXPECT_EQ(store->callCount(Op::generateRSAKeyPair), 2);

    // The fingerprint is an upper-case UUID, stored when none is found.
    const auto fingerprint = keychain.deviceFingerprint();
    ASSERT_TRUE(fingerprint);
    EXPECT_TRUE(std::regex_match(
        *fingerprint, std::regex("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$")))
        << *fingerprint;
    EXPECT_EQ(keychain.deviceFingerprint(), fingerprint);
    // Kept by a removal of local data (RemoveAllItemsRemovesLocalDataAndKeepsFingerprintAndStayPaired).
    EXPECT_EQ(keychain.getString("deviceFingerprint").text, fingerprint);

    EXPECT_NE(Keychain(std::make_shared<MemoryKeyStore>()).deviceFingerprint(), fingerprint);

    // A read failure creates nothing.
    auto failing = std::make_shared<MemoryKeyStore>();
    failing->failNext(Op::copyPassword, kKeyStoreIOError);
    EXPECT_FALSE(Keychain(failing).deviceFingerprint());
    EXPECT_FALSE(failing->password("deviceFingerprint", "deviceFingerprint"));
}

TEST(KeychainKeysFileStore, ARemoverAndAnExporterInTwoProcessesNeverLeaveHalfAPair) {
    test::TempDir temp;
    auto store = std::make_shared<FileKeyStore>(temp.path() / "keystore");
    const Keychain keychain(store);
    const auto has = [&](std::string_view tag) {
        return std::filesystem::exists(temp.path() / "keystore" /
                                       FileKeyStore::keyFileName(std::string(tag)));
    };
    for (int round = 0; round < 3; ++round) {
        const pid_t remover = ::fork();
        ASSERT_GE(remover, 0);
        if (remover == 0) {
            for (int i = 0; i < 40; ++i)
                Keychain(std::make_shared<FileKeyStore>(temp.path() / "keystore")).removeAllItems();
            ::_exit(0);
        }
        for (int i = 0; i < 6; ++i)
            keychain.getDevicePublicKeyString();
        int status = -1;
        ASSERT_EQ(::waitpid(remover, &status, 0), remover);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_EQ(has(items::kDevicePublicKeyTag), has(items::kDevicePrivateKeyTag)) << "round " << round;
    }
    // A damaged private key file counts as no private key: the pair is made again. (A lone private
    // key is replaced by the store's next generation: KeyStoreContract.)
    ASSERT_TRUE(keychain.getDevicePublicKeyString());
    const auto privateFile =
        temp.path() / "keystore" / FileKeyStore::keyFileName(std::string(items::kDevicePrivateKeyTag));
    test::writeFile(privateFile, "damaged");
    const auto text = keychain.getDevicePublicKeyString();
    ASSERT_TRUE(text);
    expectMatchingPair(keychain, *text);

    // Any other failure reading the private key (here a directory in its place) answers
    // nothing and generates nothing.
    std::filesystem::remove(privateFile);
    std::filesystem::create_directory(privateFile);
    EXPECT_FALSE(keychain.getDevicePublicKeyString());
    EXPECT_TRUE(std::filesystem::is_directory(privateFile));
}

TEST_F(KeychainTest, EightConcurrentExportsOnAnEmptyStoreMakeOnePair) {
    test::TempDir directory;
    const Keychain files(std::make_shared<FileKeyStore>(directory.path() / "keys"));
    for (const Keychain* subject : {static_cast<const Keychain*>(&keychain), &files}) {
        std::vector<std::optional<std::string>> results(8);
        std::latch start(8);
        std::atomic<int> finished{0};
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < 8; ++i)
            threads.emplace_back([&, i] {
                start.arrive_and_wait();
                // A keychain of its own over the same store: the pair's lock belongs to the store.
                results[i] = Keychain(subject->store()).getDevicePublicKeyString();
                ++finished;
            });
        const bool done = test::waitUntil([&] { return finished == 8; }, std::chrono::seconds(60));
        for (auto& thread : threads)
            done ? thread.join() : thread.detach();
        ASSERT_TRUE(done) << "exports did not finish";
        ASSERT_TRUE(results[0]);
        EXPECT_EQ(results[0]->size(), 392u); // a 2048-bit key's; the encoding is checked by OpenSSL below
        for (const auto& result : results)
            EXPECT_EQ(result, results[0]);
        expectMatchingPair(*subject, *results[0]);
    }
    EXPECT_EQ(store->callCount(Op::generateRSAKeyPair), 1);
    // A second keychain on the same directory (another launch) sees the same pair.
    const Keychain relaunched(std::make_shared<FileKeyStore>(directory.path() / "keys"));
    EXPECT_EQ(relaunched.getDevicePublicKeyString(), files.getDevicePublicKeyString());
    EXPECT_FALSE(sink->contains("Error generating key pair"));
}

// Text that is no key fails with 4; a key the store cannot take, or one shorter than the device's
// own, with 5. makePublicKey refuses the same keys and stores nothing. A service key given as
// SubjectPublicKeyInfo or PKCS#1 is stored as the same PKCS#1 bytes; storing it again changes nothing.
TEST_F(KeychainTest, ServiceKeysAreStoredAsPKCS1OrRefusedWithInternalCodes4And5) {
    auto shortKey = test::generateRSAKey(1024);
    const std::pair<std::string, int> cases[] = {
        {"not base64", 20004},
        {"MIIB\nIjAN", 20004},
        {"QUJD", 20005},
        {base64Encode(test::subjectPublicKeyInfo(shortKey.get())), 20005},
        {base64Encode(test::pkcs1PublicKey(shortKey.get())), 20005}};
    for (const auto& [text, internalCode] : cases) {
        SCOPED_TRACE(text);
        const auto error = keychain.setServerPublicKey(text);
        ASSERT_TRUE(error);
        EXPECT_EQ(Json({error->domain(), error->code(), error->userInfo().at("internalErrorCode"),
                        error->userInfo().at("type")}),
                  Json({"VelquorErrorDomain", 10000, internalCode, "sdk"}));
        EXPECT_FALSE(keychain.makePublicKey(text));
    }
    EXPECT_FALSE(keychain.makePublicKey(""));
    EXPECT_FALSE(store->hasKey(std::string(items::kServerPublicKeyTag)));

    auto serviceKey = test::generateRSAKey();
    const Bytes pkcs1 = test::pkcs1PublicKey(serviceKey.get());
    const std::string spkiText = base64Encode(test::subjectPublicKeyInfo(serviceKey.get()));
    for (const std::string& text : {spkiText, base64Encode(pkcs1)})
        EXPECT_TRUE(keychain.makePublicKey(text)) << text;
    EXPECT_EQ(store->itemCount(), 0u);
    store->failNext(Op::addKey, kKeyStoreIOError);
    const auto error = keychain.setServerPublicKey(spkiText);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->userInfo().at("internalErrorCode"), 20005);
    EXPECT_TRUE(sink->contains("20005"));

    Keychain other(std::make_shared<MemoryKeyStore>());
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(keychain.setServerPublicKey(spkiText), std::nullopt);
        EXPECT_EQ(keychain.getKeyData(items::kServerPublicKeyTag).data, pkcs1);
    }
    EXPECT_EQ(other.setServerPublicKey(base64Encode(pkcs1)), std::nullopt);
    EXPECT_EQ(other.getKeyData(items::kServerPublicKeyTag).data, pkcs1);
}

// A sink that reads the fingerprint for every line, as the log file does, through a keychain of
// its own over the same store, while the random source fails: the failure must be logged after
// the fingerprint lock is released, or the first read deadlocks.
TEST_F(KeychainTest, AFingerprintFailureIsLoggedOutsideTheLockASinkReadingItNeeds) {
    struct ReadingSink : MemoryLogSink {
        void write(LogLevel level, const std::string& line) override {
            static thread_local bool inside = false; // the sink's own read fails and logs too
            if (!inside) {
                inside = true;
                Keychain(store).deviceFingerprint();
                inside = false;
            }
            MemoryLogSink::write(level, line);
        }
        std::shared_ptr<KeyStore> store;
    };
    auto reading = std::make_shared<ReadingSink>();
    reading->store = store;
    setLogSink(reading);
    static RAND_METHOD failing{};
    failing.bytes = [](unsigned char*, int) {
        return 0;
    };
    const RAND_METHOD* original = RAND_get_rand_method();
    ASSERT_EQ(RAND_set_rand_method(&failing), 1);
    std::atomic<bool> finished{false};
    std::thread reader([&] { finished = !keychain.deviceFingerprint(); });
    const bool done = test::waitUntil([&] { return finished.load(); });
    RAND_set_rand_method(original);
    setLogSink(nullptr);
    done ? reader.join() : reader.detach();
    ASSERT_TRUE(done) << "the fingerprint read deadlocked with the log sink";
    EXPECT_EQ(reading->count("Random source failed"), 2u); // the read's line and the sink's own
    EXPECT_FALSE(store->password("deviceFingerprint", "deviceFingerprint"));
}

TEST_F(KeychainTest, ReadsAndWritesKeepTheStatusAndOneItemPerNameAndFollowTheStore) {
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

    // A write succeeds when the store reports success or a duplicate.
    const std::pair<KeyStoreStatus, bool> cases[] = {
        {kKeyStoreDuplicateItem, true}, {kKeyStoreIOError, false}, {kKeyStoreItemNotFound, false}};
    for (const auto& [status, written] : cases) {
        store->failNext(Op::replacePassword, status);
        EXPECT_EQ(keychain.setString("a", "1"), written) << status;
    }
}

TEST_F(KeychainTest, RemoveAllItemsRemovesLocalDataAndKeepsFingerprintAndStayPaired) {
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

TEST_F(KeychainTest, RemoveAllItemsRunsEveryStepWhateverTheOthersAnswer) {
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
