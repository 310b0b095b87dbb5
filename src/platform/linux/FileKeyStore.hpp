// The Linux key store: one file per item in a directory of its own.
//
//   auto store = std::make_shared<FileKeyStore>(configuration.keyStoreDirectory);
//   store->replacePassword("isPaired", "isPaired", bytes);
//
// Layout: the directory is mode 0700, each item file 0600. An item's file name is its kind
// ("p-" generic password, "k-" key) followed by the hexadecimal SHA-256 of its length-prefixed
// names (service and account, or the tag), so arbitrary bytes in a name (zero bytes, slashes,
// "..") can neither escape the directory nor collide with another item. The file repeats the
// names and ends in a SHA-256 of its content, so a damaged or foreign file reads as
// kKeyStoreDecodeError, never as an item. Every write is atomic (AtomicFile) and mutations are
// serialised by an flock on ".lock" in the directory, across processes too; reads take no lock
// and see the old or the new item. The directory must be this user's with mode 0700 and is
// opened afresh, without following a link, and checked for each operation: each write, and each
// read, or, inside a KeyStoreOperation on the reading thread, once for all of that operation's
// reads; items are reached relative to that descriptor. Any other directory makes every operation answer
// kKeyStoreIOError (logged once at ERROR); it is never narrowed or repaired. Private keys are PKCS#8 DER,
// public keys PKCS#1 DER; no operation hands out private key bytes.
//
// A parsed key, and a password's bytes, are kept and handed out again while the item's file is
// the very file they were read from (same device, inode, size and modification time, checked by
// one stat per use): every write renames a new file into place, so a change made by any process,
// this one or another, is seen at the next use. Signing does not pay for reading and parsing the
// key each time, nor a request for reading and checking the items its token names.
#pragma once

#include "platform/linux/SafeDirectory.hpp"

#include <velquor/Platform.hpp>

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velquor::detail {

// Thread-safe; several instances (and processes) may share one directory. No callbacks.
// Statuses: 0; kKeyStoreItemNotFound; kKeyStoreDuplicateItem; kKeyStoreIOError when the file
// system fails; kKeyStoreDecodeError for an unreadable item; kKeyStoreParameterError for
// refused input; kKeyStoreNotExportable for a private key's data. Never throws.
class FileKeyStore final : public KeyStore {
public:
    // The directory is created (with its missing parents, mode 0700) on the first write, not here.
    explicit FileKeyStore(std::filesystem::path directory);

    const std::filesystem::path& directory() const { return directory_; }
    // The file name an item is stored under (one path component).
    static std::string passwordFileName(const std::string& service, const std::string& account);
    static std::string keyFileName(const std::string& tag);

    KeyStoreStatus copyPassword(const std::string& service, const std::string& account,
                                std::vector<std::uint8_t>& data) override;
    KeyStoreStatus addPassword(const std::string& service, const std::string& account,
                               const std::vector<std::uint8_t>& data) override;
    KeyStoreStatus replacePassword(const std::string& service, const std::string& account,
                                   const std::vector<std::uint8_t>& data) override;
    KeyStoreStatus deletePassword(const std::string& service, const std::string& account) override;

    // kKeyStoreDuplicateItem, with nothing changed, when both tags hold a pair or `privateTag`
    // holds a public key; a public key whose private key is missing or damaged is replaced;
    // kKeyStoreParameterError for equal tags or `bits` outside 1024...16384.
    KeyStoreStatus generateRSAKeyPair(const std::string& publicTag, const std::string& privateTag,
                                      int bits) override;
    KeyStoreStatus copyKeyData(const std::string& tag, std::vector<std::uint8_t>& data) override;
    KeyStoreStatus copyKeyRef(const std::string& tag, std::shared_ptr<const KeyRef>& key) override;
    KeyStoreStatus addKey(const std::string& tag, const std::vector<std::uint8_t>& pkcs1PublicKey) override;
    KeyStoreStatus deleteKey(const std::string& tag) override;
    // Both files go under one flock, so an export in another process sees both or neither.
    KeyStoreStatus deleteKeyPair(const std::string& publicTag, const std::string& privateTag) override;
    std::shared_ptr<const KeyRef> createPublicKey(const std::vector<std::uint8_t>& pkcs1PublicKey) override;

private:
    class WriteLock;
    struct Item;

    KeyStoreStatus openDirectory(SafeDirectory& directory) const;
    // The checked directory for one read: the one this thread's KeyStoreOperation keeps for this
    // store (opened and checked by the operation's first read), else `own`, opened for this read.
    KeyStoreStatus directoryForRead(SafeDirectory& own, const SafeDirectory*& directory) const;
    void reportRefusal(int error) const;
    KeyStoreStatus readItem(const std::string& fileName, const std::string& first, const std::string& second,
                            Item& item) const;
    KeyStoreStatus readItem(const SafeDirectory& directory, const std::string& fileName,
                            const std::string& first, const std::string& second, Item& item) const;
    KeyStoreStatus writeItem(const SafeDirectory& directory, const std::string& fileName, const Item& item,
                             bool replace);
    // Removes the files under one lock; the result as combineDeletions() of each removal.
    KeyStoreStatus removeItems(std::initializer_list<std::string> fileNames);
    void forgetItem(const std::string& fileName);

    // Device, inode, size, and modification time in seconds and nanoseconds.
    using FileIdentity = std::array<std::int64_t, 5>;
    static std::optional<FileIdentity> identityOf(const SafeDirectory& directory,
                                                  const std::string& fileName);
    struct CachedKey {
        FileIdentity identity;
        std::shared_ptr<const KeyRef> key;
    };
    struct CachedPassword {
        FileIdentity identity;
        std::vector<std::uint8_t> data;
        ~CachedPassword();
    };

    std::filesystem::path directory_;
    const std::uint64_t operationId_; // this store's key in a KeyStoreOperation
    std::mutex cacheMutex_;
    std::map<std::string, CachedKey> keyCache_;           // by file name; guarded by cacheMutex_
    std::map<std::string, CachedPassword> passwordCache_; // by file name; guarded by cacheMutex_
    std::mutex mutex_; // serialises this instance's writers before the flock
    std::once_flag sweep_;
    mutable std::atomic<bool> refusalLogged_{false};
};

} // namespace velquor::detail
