// A key store in memory with failures on demand, for tests of the code above the key store.
//
//   auto store = std::make_shared<MemoryKeyStore>();
//   store->failNext(MemoryKeyStore::Operation::copyPassword, kKeyStoreNotExportable);
//   // the next copyPassword answers -25308 and touches nothing; later calls behave normally
//   store->setForcedStatus(MemoryKeyStore::Operation::addKey, kKeyStoreIOError);
//   // every addKey answers -36 until setForcedStatus(addKey, std::nullopt)
//
// Without injected failures it behaves exactly as FileKeyStore: the same statuses, real RSA keys
// (OpenSSLKeyRef), PKCS#1 public key data, private keys not exportable, addKey refusing bytes
// that are no PKCS#1 RSA public key, generation refusing a taken public tag.
#pragma once

#include <velquor/Platform.hpp>

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velquor::detail {

// Thread-safe. No callbacks.
class MemoryKeyStore final : public KeyStore {
public:
    enum class Operation {
        copyPassword,
        addPassword,
        replacePassword,
        deletePassword,
        generateRSAKeyPair,
        copyKeyData,
        copyKeyRef,
        addKey,
        deleteKey,
        createPublicKey, // a non-zero injected status makes it return null
        // Checked when copyKeyRef hands out a private key: an injected status makes that handle
        // answer it for every signature, as a store that lost access to the key would.
        privateKeyUse,
    };

    enum class KeyGeneration {
        fresh,  // every generation makes a new key pair (50-100 ms for RSA-2048)
        shared, // one pair per key size for the whole process, made once: fast, for tests that
                // do not compare keys of different stores
    };

    explicit MemoryKeyStore(KeyGeneration generation = KeyGeneration::fresh);

    // The next `count` calls of `operation` answer `status` without touching the store (reads
    // then return no data and no key). Queued after any failures already pending for it.
    void failNext(Operation operation, KeyStoreStatus status, int count = 1);
    // Injected like a status, makes the call throw instead, as a host store with a bug might.
    static constexpr KeyStoreStatus kThrows = -99999;
    // Every call of `operation` answers `status` until it is cleared with std::nullopt; pending
    // failNext entries are used first.
    void setForcedStatus(Operation operation, std::optional<KeyStoreStatus> status);
    // How often `operation` was called, injected failures included.
    int callCount(Operation operation) const;

    // Inspection: the stored password bytes, whether a tag holds a key, how many items exist.
    std::optional<std::vector<std::uint8_t>> password(const std::string& service,
                                                      const std::string& account) const;
    bool hasKey(const std::string& tag) const;
    std::size_t itemCount() const;
    // Forgets every item (the injected failures stay).
    void clear();

    KeyStoreStatus copyPassword(const std::string& service, const std::string& account,
                                std::vector<std::uint8_t>& data) override;
    KeyStoreStatus addPassword(const std::string& service, const std::string& account,
                               const std::vector<std::uint8_t>& data) override;
    KeyStoreStatus replacePassword(const std::string& service, const std::string& account,
                                   const std::vector<std::uint8_t>& data) override;
    KeyStoreStatus deletePassword(const std::string& service, const std::string& account) override;
    KeyStoreStatus generateRSAKeyPair(const std::string& publicTag, const std::string& privateTag,
                                      int bits) override;
    KeyStoreStatus copyKeyData(const std::string& tag, std::vector<std::uint8_t>& data) override;
    KeyStoreStatus copyKeyRef(const std::string& tag, std::shared_ptr<const KeyRef>& key) override;
    KeyStoreStatus addKey(const std::string& tag, const std::vector<std::uint8_t>& pkcs1PublicKey) override;
    KeyStoreStatus deleteKey(const std::string& tag) override;
    // Both keys under the mutex; an injected deleteKey status answers for the pair.
    KeyStoreStatus deleteKeyPair(const std::string& publicTag, const std::string& privateTag) override;
    std::shared_ptr<const KeyRef> createPublicKey(const std::vector<std::uint8_t>& pkcs1PublicKey) override;

private:
    struct KeyItem {
        bool isPrivate = false;
        std::vector<std::uint8_t> publicPkcs1; // public keys only
        std::shared_ptr<const KeyRef> ref;
    };
    struct Injection {
        std::vector<KeyStoreStatus> pending; // front first
        std::optional<KeyStoreStatus> forced;
        int calls = 0;
    };

    // Counts the call; the injected status, if any. Caller holds mutex_.
    std::optional<KeyStoreStatus> injected(Operation operation);

    const KeyGeneration generation_;
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::vector<std::uint8_t>> passwords_;
    std::map<std::string, KeyItem> keys_;
    std::map<Operation, Injection> injections_;
};

} // namespace velquor::detail
