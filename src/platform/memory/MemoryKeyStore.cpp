#include "platform/memory/MemoryKeyStore.hpp"
#include "platform/memory/RefusingKeyRef.hpp"

#include "platform/KeyStoreStatuses.hpp"

#include "platform/linux/OpenSSLKeyRef.hpp"
#include "platform/linux/RSAKeyCodec.hpp"
#include <stdexcept>

namespace velquor::detail {

namespace {

struct GeneratedPair {
    std::shared_ptr<const KeyRef> privateRef;
    std::vector<std::uint8_t> publicPkcs1;
    std::shared_ptr<const KeyRef> publicRef;
};

std::optional<GeneratedPair> makePair(int bits) {
    EVP_PKEY_ptr key = RSAKeyCodec::generate(bits);
    GeneratedPair pair;
    if (!key || !RSAKeyCodec::encodePublicPkcs1(key.get(), pair.publicPkcs1))
        return std::nullopt;
    EVP_PKEY_ptr publicHalf = RSAKeyCodec::parsePublicPkcs1(pair.publicPkcs1.data(), pair.publicPkcs1.size());
    if (!publicHalf)
        return std::nullopt;
    pair.publicRef = std::make_shared<OpenSSLKeyRef>(std::move(publicHalf), false);
    pair.privateRef = std::make_shared<OpenSSLKeyRef>(std::move(key), true);
    return pair;
}

// One pair per key size for KeyGeneration::shared; leaked so no destructor runs at exit.
std::optional<GeneratedPair> sharedPair(int bits) {
    static auto* mutex = new std::mutex;
    static auto* cache = new std::map<int, GeneratedPair>;
    std::lock_guard lock(*mutex);
    if (auto found = cache->find(bits); found != cache->end())
        return found->second;
    auto pair = makePair(bits);
    if (pair)
        cache->emplace(bits, *pair);
    return pair;
}

} // namespace

MemoryKeyStore::MemoryKeyStore(KeyGeneration generation)
    : generation_(generation) {}

void MemoryKeyStore::failNext(Operation operation, KeyStoreStatus status, int count) {
    std::lock_guard lock(mutex_);
    auto& pending = injections_[operation].pending;
    for (int i = 0; i < count; ++i)
        pending.push_back(status);
}

void MemoryKeyStore::setForcedStatus(Operation operation, std::optional<KeyStoreStatus> status) {
    std::lock_guard lock(mutex_);
    injections_[operation].forced = status;
}

int MemoryKeyStore::callCount(Operation operation) const {
    std::lock_guard lock(mutex_);
    auto found = injections_.find(operation);
    return found == injections_.end() ? 0 : found->second.calls;
}

std::optional<KeyStoreStatus> MemoryKeyStore::injected(Operation operation) {
    auto& injection = injections_[operation];
    ++injection.calls;
    std::optional<KeyStoreStatus> status = injection.forced;
    if (!injection.pending.empty()) {
        status = injection.pending.front();
        injection.pending.erase(injection.pending.begin());
    }
    if (status == kThrows)
        throw std::runtime_error("injected key store failure");
    return status;
}

std::optional<std::vector<std::uint8_t>> MemoryKeyStore::password(const std::string& service,
                                                                  const std::string& account) const {
    std::lock_guard lock(mutex_);
    auto found = passwords_.find({service, account});
    if (found == passwords_.end())
        return std::nullopt;
    return found->second;
}

bool MemoryKeyStore::hasKey(const std::string& tag) const {
    std::lock_guard lock(mutex_);
    return keys_.count(tag) != 0;
}

std::size_t MemoryKeyStore::itemCount() const {
    std::lock_guard lock(mutex_);
    return passwords_.size() + keys_.size();
}

void MemoryKeyStore::clear() {
    std::lock_guard lock(mutex_);
    passwords_.clear();
    keys_.clear();
}

KeyStoreStatus MemoryKeyStore::copyPassword(const std::string& service, const std::string& account,
                                            std::vector<std::uint8_t>& data) {
    data.clear();
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::copyPassword))
        return *status;
    auto found = passwords_.find({service, account});
    if (found == passwords_.end())
        return kKeyStoreItemNotFound;
    data = found->second;
    return kKeyStoreSuccess;
}

KeyStoreStatus MemoryKeyStore::addPassword(const std::string& service, const std::string& account,
                                           const std::vector<std::uint8_t>& data) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::addPassword))
        return *status;
    return passwords_.emplace(std::make_pair(service, account), data).second ? kKeyStoreSuccess
                                                                             : kKeyStoreDuplicateItem;
}

KeyStoreStatus MemoryKeyStore::replacePassword(const std::string& service, const std::string& account,
                                               const std::vector<std::uint8_t>& data) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::replacePassword))
        return *status;
    passwords_[{service, account}] = data;
    return kKeyStoreSuccess;
}

KeyStoreStatus MemoryKeyStore::deletePassword(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::deletePassword))
        return *status;
    return passwords_.erase({service, account}) != 0 ? kKeyStoreSuccess : kKeyStoreItemNotFound;
}

KeyStoreStatus MemoryKeyStore::generateRSAKeyPair(const std::string& publicTag, const std::string& privateTag,
                                                  int bits) {
    // A whole pair is kept; a public key without its private key is half a pair and replaced.
    auto taken = [&] {
        auto privateItem = keys_.find(privateTag);
        if (privateItem == keys_.end())
            return false;
        return !privateItem->second.isPrivate || keys_.count(publicTag) != 0;
    };
    {
        std::lock_guard lock(mutex_);
        if (auto status = injected(Operation::generateRSAKeyPair))
            return *status;
        if (publicTag == privateTag || bits < RSAKeyCodec::kMinimumBits || bits > RSAKeyCodec::kMaximumBits)
            return kKeyStoreParameterError;
        if (taken())
            return kKeyStoreDuplicateItem;
    }
    // Generated without the lock: it takes long, and other calls need not wait for it.
    auto pair = generation_ == KeyGeneration::shared ? sharedPair(bits) : makePair(bits);
    if (!pair)
        return kKeyStoreInternalError;
    std::lock_guard lock(mutex_);
    if (taken())
        return kKeyStoreDuplicateItem;
    keys_[privateTag] = KeyItem{true, {}, pair->privateRef};
    keys_[publicTag] = KeyItem{false, pair->publicPkcs1, pair->publicRef};
    return kKeyStoreSuccess;
}

KeyStoreStatus MemoryKeyStore::copyKeyData(const std::string& tag, std::vector<std::uint8_t>& data) {
    data.clear();
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::copyKeyData))
        return *status;
    auto found = keys_.find(tag);
    if (found == keys_.end())
        return kKeyStoreItemNotFound;
    if (found->second.isPrivate)
        return kKeyStoreNotExportable;
    data = found->second.publicPkcs1;
    return kKeyStoreSuccess;
}

KeyStoreStatus MemoryKeyStore::copyKeyRef(const std::string& tag, std::shared_ptr<const KeyRef>& key) {
    key.reset();
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::copyKeyRef))
        return *status;
    auto found = keys_.find(tag);
    if (found == keys_.end())
        return kKeyStoreItemNotFound;
    key = found->second.ref;
    if (key->isPrivate())
        if (auto status = injected(Operation::privateKeyUse))
            key = std::make_shared<RefusingKeyRef>(*status);
    return kKeyStoreSuccess;
}

KeyStoreStatus MemoryKeyStore::addKey(const std::string& tag,
                                      const std::vector<std::uint8_t>& pkcs1PublicKey) {
    {
        std::lock_guard lock(mutex_);
        if (auto status = injected(Operation::addKey))
            return *status;
    }
    EVP_PKEY_ptr parsed = RSAKeyCodec::parsePublicPkcs1(pkcs1PublicKey.data(), pkcs1PublicKey.size());
    if (!parsed)
        return kKeyStoreParameterError;
    std::shared_ptr<const KeyRef> ref = std::make_shared<OpenSSLKeyRef>(std::move(parsed), false);
    std::lock_guard lock(mutex_);
    return keys_.emplace(tag, KeyItem{false, pkcs1PublicKey, ref}).second ? kKeyStoreSuccess
                                                                          : kKeyStoreDuplicateItem;
}

KeyStoreStatus MemoryKeyStore::deleteKey(const std::string& tag) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::deleteKey))
        return *status;
    return keys_.erase(tag) != 0 ? kKeyStoreSuccess : kKeyStoreItemNotFound;
}

KeyStoreStatus MemoryKeyStore::deleteKeyPair(const std::string& publicTag, const std::string& privateTag) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::deleteKey))
        return *status;
    const bool removed = keys_.erase(publicTag) != 0;
    return keys_.erase(privateTag) != 0 || removed ? kKeyStoreSuccess : kKeyStoreItemNotFound;
}

std::shared_ptr<const KeyRef>
MemoryKeyStore::createPublicKey(const std::vector<std::uint8_t>& pkcs1PublicKey) {
    {
        std::lock_guard lock(mutex_);
        auto status = injected(Operation::createPublicKey);
        if (status && *status != kKeyStoreSuccess)
            return nullptr;
    }
    EVP_PKEY_ptr parsed = RSAKeyCodec::parsePublicPkcs1(pkcs1PublicKey.data(), pkcs1PublicKey.size());
    if (!parsed)
        return nullptr;
    return std::make_shared<OpenSSLKeyRef>(std::move(parsed), false);
}

} // namespace velquor::detail
