#include "platform/linux/FileKeyStore.hpp"

#include "platform/KeyStoreOperation.hpp"
#include "platform/KeyStoreStatuses.hpp"
#include "state/ItemNames.hpp"

#include "OpenSSLTestKeys.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velquor::detail {
namespace {

namespace fs = std::filesystem;
using namespace test;

const std::string kPublicTag(items::kDevicePublicKeyTag), kPrivateTag(items::kDevicePrivateKeyTag);

std::vector<std::string> entries(const fs::path& directory) {
    std::vector<std::string> names;
    std::error_code notADirectory;
    for (const auto& entry : fs::directory_iterator(directory, notADirectory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class FileKeyStoreTest : public ::testing::Test {
protected:
    test::TempDir temp_;
    fs::path dir_ = temp_.path() / "data" / "velquor" / "keystore" / "com.example.host";
    FileKeyStore store_{dir_};
};

// Reads and deletions create nothing; items are named by a hash of their names, so no name escapes
// the directory or collides with another.
TEST_F(FileKeyStoreTest, DirectoryIsMadeOnFirstWriteOwnerOnlyUnderAnyUmaskWithNamesKeptInside) {
    std::vector<std::uint8_t> data;
    EXPECT_EQ(store_.copyPassword("a", "a", data), kKeyStoreItemNotFound);
    EXPECT_EQ(store_.deletePassword("a", "a"), kKeyStoreItemNotFound);
    EXPECT_EQ(store_.deleteKey("t"), kKeyStoreItemNotFound);
    EXPECT_FALSE(fs::exists(dir_));

    const std::string zero(1, '\0'), longName(5000, 'n');
    const std::vector<std::pair<std::string, std::string>> names = {
        {"../../escape", ".."}, {"a/b", "c"},      {"a", "b/c"}, {"ab", "c"}, {"a", "bc"},
        {"x" + zero, "y"},      {"x", zero + "y"}, {"", ""},     {".", ".."}, {longName, "long"}};
    const mode_t previous = ::umask(0);
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(store_.addPassword(names[i].first, names[i].second, bytesOf(std::to_string(i))),
                  kKeyStoreSuccess)
            << i;
    const auto statuses = std::vector<KeyStoreStatus>{
        store_.addKey(kPublicTag, test::freshPublicKey()),
        store_.addKey(kPublicTag.substr(0, kPublicTag.size() - 1), test::freshPublicKey())};
    ::umask(previous);
    EXPECT_EQ(statuses, std::vector<KeyStoreStatus>(2, kKeyStoreSuccess));
    EXPECT_EQ(modeOf(dir_), 0700u);
    EXPECT_EQ(modeOf(dir_.parent_path()), 0700u) << "parents made for the store are private too";
    EXPECT_EQ(modeOf(dir_ / FileKeyStore::passwordFileName("a", "bc")), 0600u);
    EXPECT_EQ(modeOf(dir_ / FileKeyStore::keyFileName(kPublicTag)), 0600u);
    EXPECT_EQ(modeOf(dir_ / ".lock"), 0600u);

    for (std::size_t i = 0; i < names.size(); ++i) {
        ASSERT_EQ(store_.copyPassword(names[i].first, names[i].second, data), kKeyStoreSuccess) << i;
        EXPECT_EQ(data, bytesOf(std::to_string(i))) << "item " << i << " collided with another";
    }
    const std::regex itemName("[pk]-[0-9a-f]{64}");
    const auto files = entries(dir_);
    EXPECT_EQ(files.size(), names.size() + 2 + 1);
    for (const auto& name : files)
        EXPECT_TRUE(name == ".lock" || std::regex_match(name, itemName)) << name;
    EXPECT_EQ(entries(dir_.parent_path()), std::vector<std::string>{"com.example.host"});
    EXPECT_EQ(entries(temp_.path()), std::vector<std::string>{"data"});
}

// Another local user pre-creates the store's path, or a file stands there; the store must neither
// use nor repair it.
TEST(FileKeyStorePlanted, DirectoryIsRefusedAsItIsAndNothingIsReadOrWrittenThere) {
    for (const std::string plant : {"symlink to forged", "group-writable", "foreign-owned", "regular file"}) {
        SCOPED_TRACE(plant);
        test::TempDir temp;
        const auto dir = temp.path() / "keystore", forged = temp.path() / "forged";
        ASSERT_EQ(FileKeyStore(forged).replacePassword("isPaired", "isPaired", bytesOf("forged")),
                  kKeyStoreSuccess);
        if (plant == "symlink to forged")
            fs::create_directory_symlink(forged, dir);
        else if (plant == "regular file")
            writeFile(dir, "not a directory");
        else
            fs::rename(forged, dir);
        if (plant == "group-writable")
            ::chmod(dir.c_str(), 0770);
        ASSERT_TRUE(plant != "foreign-owned" || ::chown(dir.c_str(), 65534, 65534) == 0) << "run as root";
        const auto before = entries(dir); // through the link, if it is one
        const mode_t mode = modeOf(dir);

        FileKeyStore store(dir);
        std::vector<std::uint8_t> data;
        std::shared_ptr<const KeyRef> key;
        for (KeyStoreStatus status :
             {store.copyPassword("isPaired", "isPaired", data), store.addPassword("a", "a", bytesOf("v")),
              store.replacePassword("a", "a", bytesOf("v")), store.deletePassword("isPaired", "isPaired"),
              store.addKey("k", test::freshPublicKey()), store.generateRSAKeyPair("p", "q", 1024),
              store.copyKeyRef("q", key), store.deleteKeyPair("p", "q")})
            EXPECT_EQ(status, kKeyStoreIOError);
        EXPECT_EQ(entries(dir), before);
        EXPECT_EQ(modeOf(dir), mode) << "never narrowed";
    }
}

TEST_F(FileKeyStoreTest, LeftoverTemporariesAreNeverItemsStaleOnesAreSweptAndDamagedItemsReadAsFailure) {
    ASSERT_EQ(store_.addPassword("isPaired", "isPaired", bytesOf("isPaired")), kKeyStoreSuccess);
    const auto itemFile = dir_ / FileKeyStore::passwordFileName("isPaired", "isPaired");
    // An interrupted replace leaves a complete temporary file beside a removed item.
    fs::copy_file(itemFile, dir_ / ".tmp-0123456789abcdef01234567");
    fs::copy_file(itemFile, dir_ / ".tmp-stale000000000000000000");
    ASSERT_EQ(store_.deletePassword("isPaired", "isPaired"), kKeyStoreSuccess);
    std::vector<std::uint8_t> data;
    EXPECT_EQ(store_.copyPassword("isPaired", "isPaired", data), kKeyStoreItemNotFound);

    // A new instance sweeps temporaries older than ten minutes on its first write.
    const struct timespec old[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
    ASSERT_EQ(
        ::utimensat(AT_FDCWD, (dir_ / ".tmp-stale000000000000000000").c_str(), old, AT_SYMLINK_NOFOLLOW), 0);
    FileKeyStore second(dir_);
    ASSERT_EQ(second.addPassword("other", "other", bytesOf("x")), kKeyStoreSuccess);
    EXPECT_FALSE(fs::exists(dir_ / ".tmp-stale000000000000000000"));
    EXPECT_TRUE(fs::exists(dir_ / ".tmp-0123456789abcdef01234567"))
        << "a recent one may belong to a running write";

    // Damaged or foreign item files read as failure.
    ASSERT_EQ(store_.addPassword("s", "a", bytesOf("value")), kKeyStoreSuccess);
    ASSERT_EQ(store_.addPassword("s", "b", bytesOf("other")), kKeyStoreSuccess);
    ASSERT_EQ(store_.addKey("k", test::freshPublicKey()), kKeyStoreSuccess);
    const auto itemA = dir_ / FileKeyStore::passwordFileName("s", "a");
    const auto itemB = dir_ / FileKeyStore::passwordFileName("s", "b");
    const auto keyItem = dir_ / FileKeyStore::keyFileName("k");
    const std::string good = readFile(itemA);

    std::string flipped = good;
    flipped[flipped.size() / 2] ^= 0x01;
    // Empty, truncated, a trailing byte, a flipped bit, garbage, another item's file under this name.
    for (const std::string& content :
         {std::string(), good.substr(0, good.size() - 1), good + "x", flipped,
          std::string("VQKS\x01Pgarbage-garbage-garbage-garbage-garbage-garbage"), readFile(itemB)}) {
        writeFile(itemA, content);
        std::vector<std::uint8_t> data = bytesOf("stale");
        EXPECT_EQ(store_.copyPassword("s", "a", data), kKeyStoreDecodeError) << content;
        EXPECT_TRUE(data.empty()) << content;
    }

    // A key file that is a password item is no key.
    writeFile(keyItem, readFile(itemB));
    std::shared_ptr<const KeyRef> key;
    EXPECT_EQ(store_.copyKeyRef("k", key), kKeyStoreDecodeError);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(store_.copyKeyData("k", data), kKeyStoreDecodeError);

    // Not a regular file at all.
    fs::remove(itemA);
    fs::create_directory(itemA);
    EXPECT_EQ(store_.copyPassword("s", "a", data), kKeyStoreIOError);
    fs::remove(itemA);
    fs::create_symlink(itemB, itemA);
    EXPECT_EQ(store_.copyPassword("s", "a", data), kKeyStoreIOError) << "symbolic links are not followed";

    // A damaged item can still be replaced or deleted.
    EXPECT_EQ(store_.replacePassword("s", "a", bytesOf("repaired")), kKeyStoreSuccess);
    EXPECT_EQ(store_.copyPassword("s", "a", data), kKeyStoreSuccess);
    EXPECT_EQ(data, bytesOf("repaired"));
    writeFile(itemA, "damaged");
    EXPECT_EQ(store_.deletePassword("s", "a"), kKeyStoreSuccess);
}

// Each thread uses a handle of its own, as another process would.
TEST_F(FileKeyStoreTest, ConcurrentHandlesSeeAtomicReplacesAndExactlyOneWinnerOfAnAdd) {
    const auto oldValue = bytesOf(std::string(100, 'o')), newValue = bytesOf(std::string(3000, 'N'));
    ASSERT_EQ(store_.addPassword("deviceFingerprint", "deviceFingerprint", oldValue), kKeyStoreSuccess);
    std::atomic<bool> writing{true};
    std::atomic<int> reads{0}, bad{0}, successes{0}, duplicates{0}, others{0};
    std::atomic<KeyStoreStatus> badStatus{0};
    std::thread reader([&] {
        FileKeyStore other(dir_);
        std::vector<std::uint8_t> data;
        while (writing || reads < 50) {
            const auto status = other.copyPassword("deviceFingerprint", "deviceFingerprint", data);
            ++reads;
            if (status != kKeyStoreSuccess || (data != oldValue && data != newValue)) {
                badStatus = status;
                ++bad;
            }
        }
    });
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(
            store_.replacePassword("deviceFingerprint", "deviceFingerprint", i % 2 ? oldValue : newValue),
            kKeyStoreSuccess);
    writing = false;
    reader.join();
    EXPECT_EQ(bad.load(), 0) << "a reader saw a missing or torn item, status " << badStatus.load();

    for (std::vector<std::jthread> threads; threads.size() < 4;)
        threads.emplace_back([&, t = threads.size()] {
            FileKeyStore own(dir_);
            for (int i = 0; i < 10; ++i) {
                const auto status =
                    own.addPassword("item" + std::to_string(i), "a", bytesOf(std::to_string(t)));
                ++(status == kKeyStoreSuccess         ? successes
                   : status == kKeyStoreDuplicateItem ? duplicates
                                                      : others);
            }
        });
    EXPECT_EQ(std::tuple(successes.load(), duplicates.load(), others.load()), std::tuple(10, 30, 0));
}

// The other store stands for another process: its changes reach this one only through the files;
// a parsed key is reused until its file changes. (Passwords: FileKeyStoreOperation.)
TEST_F(FileKeyStoreTest, KeysAreParsedOnceAndReadAgainAfterAnotherProcessChangesThem) {
    FileKeyStore other(dir_);
    ASSERT_EQ(store_.generateRSAKeyPair(kPublicTag, kPrivateTag, 2048), kKeyStoreSuccess);
    std::shared_ptr<const KeyRef> first, again, changed;
    ASSERT_EQ(store_.copyKeyRef(kPrivateTag, first), kKeyStoreSuccess);
    ASSERT_EQ(store_.copyKeyRef(kPrivateTag, again), kKeyStoreSuccess);
    EXPECT_EQ(first, again) << "parsed once";

    ASSERT_EQ(other.deleteKeyPair(kPublicTag, kPrivateTag), kKeyStoreSuccess);
    ASSERT_EQ(other.generateRSAKeyPair(kPublicTag, kPrivateTag, 2048), kKeyStoreSuccess);
    ASSERT_EQ(store_.copyKeyRef(kPrivateTag, changed), kKeyStoreSuccess);
    test::Bytes signature, data;
    ASSERT_EQ(
        changed->rawSign(DigestAlgorithm::sha256, test::digestOf(DigestAlgorithm::sha256, "in"), signature),
        kKeyStoreSuccess);
    ASSERT_EQ(other.copyKeyData(kPublicTag, data), kKeyStoreSuccess);
    EXPECT_TRUE(test::digestVerify(data, DigestAlgorithm::sha256, "in", signature))
        << "signs with the new key";
    ASSERT_EQ(other.deleteKey(kPrivateTag), kKeyStoreSuccess);
    EXPECT_EQ(store_.copyKeyRef(kPrivateTag, changed), kKeyStoreItemNotFound);
}

std::string readItem(FileKeyStore& store) {
    std::vector<std::uint8_t> data;
    const KeyStoreStatus status = store.copyPassword("service", "account", data);
    return status == kKeyStoreSuccess ? std::string(data.begin(), data.end())
                                      : "status " + std::to_string(status);
}

// An operation checks each store's directory at its first read and reads through it until it
// ends; the next operation checks afresh, so what happened in between (another process's write,
// a wrong mode, a directory swapped for a link) is seen there.
TEST(FileKeyStoreOperation, EachOperationChecksTheDirectoryOnceAndTheNextAfresh) {
    test::TempDir root;
    const fs::path path = root.path() / "keys", other = root.path() / "other";
    FileKeyStore store(path), otherStore(other), elsewhere(path); // `elsewhere`: as another process
    ASSERT_EQ(store.addPassword("service", "account", bytesOf("one")), kKeyStoreSuccess);
    ASSERT_EQ(otherStore.addPassword("service", "account", bytesOf("other")), kKeyStoreSuccess);
    {
        const KeyStoreOperation operation;
        EXPECT_EQ(readItem(store), "one");
        EXPECT_EQ(readItem(otherStore), "other") << "each store keeps its own directory";
        ::chmod(path.c_str(), 0755);
        const KeyStoreOperation nested; // part of the same operation
        EXPECT_EQ(readItem(store), "one") << "checked once, at the operation's first read";
    }
    {
        const KeyStoreOperation operation;
        EXPECT_EQ(readItem(store), "status " + std::to_string(kKeyStoreIOError)) << "mode 0755";
    }
    ::chmod(path.c_str(), 0700);
    ASSERT_EQ(elsewhere.replacePassword("service", "account", bytesOf("two")), kKeyStoreSuccess);
    {
        const KeyStoreOperation operation;
        EXPECT_EQ(readItem(store), "two");
    }
    ASSERT_EQ(elsewhere.deletePassword("service", "account"), kKeyStoreSuccess);
    EXPECT_EQ(readItem(store), "status " + std::to_string(kKeyStoreItemNotFound));
    fs::rename(path, root.path() / "moved");
    fs::create_directory_symlink(other, path); // a planted link to an acceptable directory
    {
        const KeyStoreOperation operation;
        EXPECT_EQ(readItem(store), "status " + std::to_string(kKeyStoreIOError));
    }
    EXPECT_EQ(readItem(store), "status " + std::to_string(kKeyStoreIOError)) << "outside any operation too";
}

// SHA-256 to SHA-512 are signed through these references, and verified through a private key's
// public half, in the token signer's tests; SHA-1 only here.
TEST(OpenSSLKeyRef, RawSignEqualsOneShotSigningAndRefusesWhatDoesNotMatch) {
    // A key as the key store's private reference, a public one read back from PKCS#1 as the store
    // does, and OpenSSL's own handle.
    const EVP_PKEY_ptr reference = RSAKeyCodec::generate(1024);
    const auto pkcs1 = test::pkcs1PublicKey(reference.get());
    const auto privateRef = test::keyRef(reference.get(), true);
    const OpenSSLKeyRef publicRef(RSAKeyCodec::parsePublicPkcs1(pkcs1.data(), pkcs1.size()), false);
    const std::string message = "eyJhbGciOiJSUzI1NiIsImtpZCI6IjEifQ.eyJpc3MiOiJ4In0";
    const auto digest = test::digestOf(DigestAlgorithm::sha1, message);
    std::vector<std::uint8_t> signature;
    ASSERT_EQ(privateRef->rawSign(DigestAlgorithm::sha1, digest, signature), kKeyStoreSuccess);
    EXPECT_EQ(signature, test::referenceSign(reference.get(), EVP_sha1(), test::bytesOf(message)))
        << "the DigestInfo must be part of the signature";
    EXPECT_EQ(publicRef.rawVerify(DigestAlgorithm::sha1, digest, signature), kKeyStoreSuccess);

    // Signatures that do not match are rejected.
    auto tampered = signature;
    tampered[10] ^= 0x80;
    EXPECT_EQ(publicRef.rawVerify(DigestAlgorithm::sha1, digest, tampered), kKeyStoreVerifyFailed);
    EXPECT_EQ(publicRef.rawVerify(DigestAlgorithm::sha256, test::digestOf(DigestAlgorithm::sha256, message),
                                  signature),
              kKeyStoreVerifyFailed)
        << "the digest algorithm is part of what is verified";
    EXPECT_EQ(publicRef.rawVerify(DigestAlgorithm::sha1, digest, {}), kKeyStoreVerifyFailed);
    // What a key keeps between calls follows the algorithm asked for and outlasts refusals.
    EXPECT_EQ(publicRef.rawVerify(DigestAlgorithm::sha1, digest, signature), kKeyStoreSuccess);
    const auto sha256 = test::digestOf(DigestAlgorithm::sha256, "m");
    std::vector<std::uint8_t> second;
    ASSERT_EQ(privateRef->rawSign(DigestAlgorithm::sha256, sha256, second), kKeyStoreSuccess);
    EXPECT_EQ(second, test::referenceSign(reference.get(), EVP_sha256(), test::bytesOf("m")));

    // Bad parameters are refused.
    EXPECT_EQ(privateRef->rawSign(DigestAlgorithm::sha1, sha256, signature), kKeyStoreParameterError);
    EXPECT_TRUE(signature.empty());
    EXPECT_EQ(privateRef->rawSign(DigestAlgorithm::sha256, {}, signature), kKeyStoreParameterError);
    signature = {1, 2, 3};
    EXPECT_EQ(publicRef.rawSign(DigestAlgorithm::sha256, sha256, signature), kKeyStoreParameterError);
    EXPECT_TRUE(signature.empty());
    EXPECT_EQ(publicRef.rawVerify(DigestAlgorithm::sha512, sha256, std::vector<std::uint8_t>(128)),
              kKeyStoreParameterError);
    EXPECT_EQ(ERR_peek_error(), 0u) << "OpenSSL's error queue must be left empty";
}

} // namespace
} // namespace velquor::detail
