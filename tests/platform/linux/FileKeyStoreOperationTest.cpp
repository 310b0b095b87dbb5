#include "platform/KeyStoreOperation.hpp"
#include "platform/linux/FileKeyStore.hpp"

#include "OpenSSLTestKeys.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace velquor::detail {
namespace {

namespace fs = std::filesystem;
using test::bytesOf;

std::string read(FileKeyStore& store) {
    std::vector<std::uint8_t> data;
    const KeyStoreStatus status = store.copyPassword("service", "account", data);
    return status == kKeyStoreSuccess ? std::string(data.begin(), data.end())
                                      : "status " + std::to_string(status);
}

// An operation checks each store's directory at its first read and reads through it until it
// ends; the next operation checks afresh, so what happened in between (another process's write,
// a wrong mode, a directory swapped for a link) is seen there.
TEST(FileKeyStoreOperationTest, EachOperationChecksTheDirectoryOnceAndTheNextAfresh) {
    test::TempDir root;
    const fs::path path = root.path() / "keys", other = root.path() / "other";
    FileKeyStore store(path), otherStore(other), elsewhere(path); // `elsewhere`: as another process
    ASSERT_EQ(store.addPassword("service", "account", bytesOf("one")), kKeyStoreSuccess);
    ASSERT_EQ(otherStore.addPassword("service", "account", bytesOf("other")), kKeyStoreSuccess);
    {
        const KeyStoreOperation operation;
        EXPECT_EQ(read(store), "one");
        EXPECT_EQ(read(otherStore), "other") << "each store keeps its own directory";
        ::chmod(path.c_str(), 0755);
        const KeyStoreOperation nested; // part of the same operation
        EXPECT_EQ(read(store), "one") << "checked once, at the operation's first read";
    }
    {
        const KeyStoreOperation operation;
        EXPECT_EQ(read(store), "status " + std::to_string(kKeyStoreIOError)) << "mode 0755";
    }
    ::chmod(path.c_str(), 0700);
    ASSERT_EQ(elsewhere.replacePassword("service", "account", bytesOf("two")), kKeyStoreSuccess);
    {
        const KeyStoreOperation operation;
        EXPECT_EQ(read(store), "two");
    }
    fs::rename(path, root.path() / "moved");
    fs::create_directory_symlink(other, path); // a planted link to an acceptable directory
    {
        const KeyStoreOperation operation;
        EXPECT_EQ(read(store), "status " + std::to_string(kKeyStoreIOError));
    }
    EXPECT_EQ(read(store), "status " + std::to_string(kKeyStoreIOError)) << "outside any operation too";
}

} // namespace
} // namespace velquor::detail
