#include "platform/linux/FileKeyStore.hpp"

#include "log/Log.hpp"
#include "platform/KeyStoreOperation.hpp"
#include "platform/KeyStoreStatuses.hpp"
#include "platform/linux/AtomicFile.hpp"
#include "platform/linux/OpenSSLKeyRef.hpp"
#include "platform/linux/RSAKeyCodec.hpp"
#include "platform/linux/SafeDirectory.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <unordered_map>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velquor::detail {

namespace {

constexpr const char* kUnit = "platform/FileKeyStore";
constexpr char kPassword = 'P';
constexpr char kPublicKey = 'U';
constexpr char kPrivateKey = 'R';
constexpr std::string_view kMagic = "VQKS\x01";
constexpr std::size_t kDigestSize = 32;
// Far above any real item (an RSA-16384 private key is under 10 KiB); bounds reads of junk.
constexpr std::size_t kMaximumFileSize = 4u << 20;
constexpr auto kStaleTemporaryAge = std::chrono::seconds(600);

void appendField(std::string& out, std::string_view field) {
    const auto size = static_cast<std::uint32_t>(field.size());
    for (int shift = 0; shift < 32; shift += 8)
        out += static_cast<char>((size >> shift) & 0xFF);
    out.append(field);
}

bool readField(std::string_view& in, std::string_view& field) {
    if (in.size() < 4)
        return false;
    std::uint32_t size = 0;
    for (int i = 0; i < 4; ++i)
        size |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[static_cast<std::size_t>(i)]))
                << (8 * i);
    in.remove_prefix(4);
    if (in.size() < size)
        return false;
    field = in.substr(0, size);
    in.remove_prefix(size);
    return true;
}

std::array<unsigned char, kDigestSize> sha256(std::string_view bytes) {
    std::array<unsigned char, kDigestSize> digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1)
        drainOpenSSLErrors(); // leaves zeros; a later comparison then fails safely
    return digest;
}

std::string hex(const std::array<unsigned char, kDigestSize>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

std::string fileName(char prefix, std::string_view first, std::string_view second) {
    std::string identity(1, prefix);
    appendField(identity, first);
    appendField(identity, second);
    // Every item access names its file, and the digest costs more than the rest of a cached
    // read; a process uses a handful of names, so they are kept (up to a bound, whatever the
    // caller asks for). Never destroyed: threads may still use a store while the process exits.
    constexpr std::size_t kKeptNames = 256;
    struct Names {
        std::mutex mutex;
        std::unordered_map<std::string, std::string> byIdentity;
    };
    static Names* const names = new Names;
    {
        std::lock_guard lock(names->mutex);
        if (const auto found = names->byIdentity.find(identity); found != names->byIdentity.end())
            return found->second;
    }
    std::string name = std::string(1, prefix) + "-" + hex(sha256(identity));
    std::lock_guard lock(names->mutex);
    if (names->byIdentity.size() < kKeptNames)
        names->byIdentity.emplace(std::move(identity), name);
    return name;
}

KeyStoreStatus statusForErrno(int error) {
    switch (error) {
    case 0:
        return kKeyStoreSuccess;
    case ENOENT:
        return kKeyStoreItemNotFound;
    case EEXIST:
        return kKeyStoreDuplicateItem;
    default:
        return kKeyStoreIOError;
    }
}

std::string_view asText(const std::vector<std::uint8_t>& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

} // namespace

struct FileKeyStore::Item {
    char kind = 0;
    std::string first;
    std::string second;
    std::vector<std::uint8_t> payload;

    ~Item() { OPENSSL_cleanse(payload.data(), payload.size()); }

    std::string encode() const {
        std::string bytes(kMagic);
        bytes += kind;
        appendField(bytes, first);
        appendField(bytes, second);
        appendField(bytes, asText(payload));
        const auto digest = sha256(bytes);
        bytes.append(reinterpret_cast<const char*>(digest.data()), digest.size());
        return bytes;
    }

    bool decode(std::string_view bytes) {
        if (bytes.size() < kMagic.size() + 1 + kDigestSize || bytes.substr(0, kMagic.size()) != kMagic)
            return false;
        const auto body = bytes.substr(0, bytes.size() - kDigestSize);
        const auto digest = sha256(body);
        if (CRYPTO_memcmp(digest.data(), bytes.data() + body.size(), kDigestSize) != 0)
            return false;
        std::string_view rest = body.substr(kMagic.size());
        kind = rest.front();
        rest.remove_prefix(1);
        std::string_view a, b, c;
        if (!readField(rest, a) || !readField(rest, b) || !readField(rest, c) || !rest.empty())
            return false;
        first.assign(a);
        second.assign(b);
        payload.assign(c.begin(), c.end());
        return true;
    }
};

// Holds the in-process mutex and the directory's flock for one mutation.
class FileKeyStore::WriteLock {
public:
    // Without `create`, a missing directory is reported as ENOENT instead of being made.
    WriteLock(FileKeyStore& store, bool create)
        : guard_(store.mutex_) {
        status_ = SafeDirectory::open(store.directory_, SafeDirectory::Access::ownerOnly, create, directory_);
        if (status_ != 0) {
            store.reportRefusal(status_);
            return;
        }
        fd_ = ::openat(directory_.fd(), ".lock", O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0) {
            status_ = errno;
            return;
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                status_ = errno;
                return;
            }
        }
        std::call_once(store.sweep_,
                       [&] { AtomicFile::removeStaleTemporaries(directory_.fd(), kStaleTemporaryAge); });
    }
    ~WriteLock() {
        if (fd_ >= 0)
            ::close(fd_); // releases the flock
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

    // 0 when held, else the errno that prevented it.
    int status() const { return status_; }
    const SafeDirectory& directory() const { return directory_; }

private:
    std::lock_guard<std::mutex> guard_;
    SafeDirectory directory_;
    int fd_ = -1;
    int status_ = 0;
};

FileKeyStore::FileKeyStore(std::filesystem::path directory)
    : directory_(std::move(directory))
    , operationId_(KeyStoreOperation::makeStoreId()) {}

std::string FileKeyStore::passwordFileName(const std::string& service, const std::string& account) {
    return fileName('p', service, account);
}

std::string FileKeyStore::keyFileName(const std::string& tag) {
    return fileName('k', tag, {});
}

void FileKeyStore::reportRefusal(int error) const {
    if (error == 0 || error == ENOENT)
        return;
    // Once per store: every operation would otherwise log the same refusal again. Not call_once,
    // so a log sink that reads the key store itself cannot deadlock on it.
    if (!refusalLogged_.exchange(true))
        VQ_LOG(LogLevel::error, kUnit, "openDirectory",
               "Key store directory " + directory_.string() + " refused: " + std::strerror(error) +
                   " (it must be a directory of this user with mode 0700, not a link)");
}

KeyStoreStatus FileKeyStore::openDirectory(SafeDirectory& directory) const {
    const int error = SafeDirectory::open(directory_, SafeDirectory::Access::ownerOnly, false, directory);
    reportRefusal(error);
    return statusForErrno(error == EEXIST ? EIO : error);
}

namespace {

// The directory a KeyStoreOperation keeps for one store.
struct KeptDirectory final : KeyStoreOperation::Resource {
    SafeDirectory directory;
};

} // namespace

KeyStoreStatus FileKeyStore::directoryForRead(SafeDirectory& own, const SafeDirectory*& directory) const {
    if (auto* kept = KeyStoreOperation::find(operationId_)) {
        directory = &static_cast<KeptDirectory*>(kept)->directory;
        return kKeyStoreSuccess;
    }
    // A refusal is not kept: each read of the operation checks again, and reports it.
    const KeyStoreStatus status = openDirectory(own);
    if (status != kKeyStoreSuccess)
        return status;
    directory = &own;
    if (!KeyStoreOperation::active())
        return kKeyStoreSuccess;
    std::unique_ptr<KeyStoreOperation::Resource> resource(new (std::nothrow) KeptDirectory);
    if (!resource)
        return kKeyStoreSuccess;
    auto& moved = static_cast<KeptDirectory&>(*resource).directory;
    moved = std::move(own);
    if (auto* kept = KeyStoreOperation::keep(operationId_, resource))
        directory = &static_cast<KeptDirectory*>(kept)->directory;
    else
        own = std::move(moved);
    return kKeyStoreSuccess;
}

KeyStoreStatus FileKeyStore::readItem(const std::string& name, const std::string& first,
                                      const std::string& second, Item& item) const {
    SafeDirectory own;
    const SafeDirectory* directory = nullptr;
    const KeyStoreStatus status = directoryForRead(own, directory);
    if (status != kKeyStoreSuccess)
        return status;
    return readItem(*directory, name, first, second, item);
}

KeyStoreStatus FileKeyStore::readItem(const SafeDirectory& directory, const std::string& name,
                                      const std::string& first, const std::string& second, Item& item) const {
    std::string bytes;
    const int error = AtomicFile::read(directory.fd(), name, bytes, kMaximumFileSize);
    if (error != 0)
        return error == EFBIG ? kKeyStoreDecodeError : statusForErrno(error);
    const bool decoded = item.decode(bytes);
    OPENSSL_cleanse(bytes.data(), bytes.size());
    if (!decoded || item.first != first || item.second != second)
        return kKeyStoreDecodeError;
    return kKeyStoreSuccess;
}

KeyStoreStatus FileKeyStore::writeItem(const SafeDirectory& directory, const std::string& name,
                                       const Item& item, bool replace) {
    forgetItem(name);
    std::string bytes = item.encode();
    KeyStoreStatus status = kKeyStoreParameterError;
    if (bytes.size() <= kMaximumFileSize)
        status = statusForErrno(AtomicFile::write(directory.fd(), name, bytes, replace));
    OPENSSL_cleanse(bytes.data(), bytes.size());
    if (status == kKeyStoreItemNotFound) // ENOENT here means the directory vanished meanwhile
        status = kKeyStoreIOError;
    return status;
}

KeyStoreStatus FileKeyStore::removeItems(std::initializer_list<std::string> names) {
    WriteLock lock(*this, false);
    if (lock.status() == ENOENT)
        return kKeyStoreItemNotFound;
    if (lock.status() != 0)
        return kKeyStoreIOError;
    KeyStoreStatus result = kKeyStoreItemNotFound;
    for (const auto& name : names) {
        forgetItem(name);
        const int error = AtomicFile::remove(lock.directory().fd(), name);
        const KeyStoreStatus status = error == EEXIST ? kKeyStoreIOError : statusForErrno(error);
        result = combineDeletions(result, status);
    }
    return result;
}

namespace {

// Copies the cached value of item file `name` into `out` while the file is still the one it was
// read from (`identity`, just seen); a stale entry goes. The caller holds the cache's lock.
template <typename Entry, typename Identity, typename Value>
bool takeCached(std::map<std::string, Entry>& cache, const std::string& name,
                const std::optional<Identity>& identity, Value Entry::*member, Value& out) {
    const auto cached = cache.find(name);
    if (cached == cache.end())
        return false;
    if (identity && cached->second.identity == *identity) {
        out = cached->second.*member;
        return true;
    }
    cache.erase(cached);
    return false;
}

} // namespace

// --- generic passwords ----------------------------------------------------------------------

FileKeyStore::CachedPassword::~CachedPassword() {
    OPENSSL_cleanse(data.data(), data.size());
}

KeyStoreStatus FileKeyStore::copyPassword(const std::string& service, const std::string& account,
                                          std::vector<std::uint8_t>& data) {
    data.clear();
    SafeDirectory own;
    const SafeDirectory* opened = nullptr;
    KeyStoreStatus status = directoryForRead(own, opened);
    if (status != kKeyStoreSuccess)
        return status;
    const SafeDirectory& directory = *opened;
    const std::string name = passwordFileName(service, account);
    const auto before = identityOf(directory, name);
    {
        std::lock_guard lock(cacheMutex_);
        if (takeCached(passwordCache_, name, before, &CachedPassword::data, data))
            return kKeyStoreSuccess;
    }

    Item item;
    status = readItem(directory, name, service, account, item);
    if (status != kKeyStoreSuccess)
        return status;
    if (item.kind != kPassword)
        return kKeyStoreDecodeError;
    data = item.payload;

    // Kept only when the file read is provably the one stat saw, before and after the read.
    if (const auto after = identityOf(directory, name); before && after == before) {
        std::lock_guard lock(cacheMutex_);
        passwordCache_.erase(name);
        passwordCache_.emplace(name, CachedPassword{*before, data});
    }
    return kKeyStoreSuccess;
}

KeyStoreStatus FileKeyStore::addPassword(const std::string& service, const std::string& account,
                                         const std::vector<std::uint8_t>& data) {
    Item item{kPassword, service, account, data};
    WriteLock lock(*this, true);
    if (lock.status() != 0)
        return kKeyStoreIOError;
    return writeItem(lock.directory(), passwordFileName(service, account), item, false);
}

KeyStoreStatus FileKeyStore::replacePassword(const std::string& service, const std::string& account,
                                             const std::vector<std::uint8_t>& data) {
    Item item{kPassword, service, account, data};
    WriteLock lock(*this, true);
    if (lock.status() != 0)
        return kKeyStoreIOError;
    return writeItem(lock.directory(), passwordFileName(service, account), item, true);
}

KeyStoreStatus FileKeyStore::deletePassword(const std::string& service, const std::string& account) {
    return removeItems({passwordFileName(service, account)});
}

// --- RSA keys -------------------------------------------------------------------------------

KeyStoreStatus FileKeyStore::generateRSAKeyPair(const std::string& publicTag, const std::string& privateTag,
                                                int bits) {
    if (publicTag == privateTag || bits < RSAKeyCodec::kMinimumBits || bits > RSAKeyCodec::kMaximumBits)
        return kKeyStoreParameterError;
    WriteLock lock(*this, true);
    if (lock.status() != 0)
        return kKeyStoreIOError;

    // A public key without a usable private key is half a pair (a crash, or a remover in another
    // process before deletions were paired): it is replaced. A whole pair is kept.
    const auto& directory = lock.directory();
    Item existing;
    KeyStoreStatus status = readItem(directory, keyFileName(publicTag), publicTag, {}, existing);
    const bool publicPresent = status == kKeyStoreSuccess || status == kKeyStoreDecodeError;
    if (!publicPresent && status != kKeyStoreItemNotFound)
        return status;
    Item lonePrivate;
    status = readItem(directory, keyFileName(privateTag), privateTag, {}, lonePrivate);
    if (status == kKeyStoreSuccess && (lonePrivate.kind != kPrivateKey || publicPresent))
        return kKeyStoreDuplicateItem;
    if (status != kKeyStoreSuccess && status != kKeyStoreItemNotFound && status != kKeyStoreDecodeError)
        return status;

    EVP_PKEY_ptr key = RSAKeyCodec::generate(bits);
    Item privateItem{kPrivateKey, privateTag, {}, {}};
    Item publicItem{kPublicKey, publicTag, {}, {}};
    if (!key || !RSAKeyCodec::encodePrivatePkcs8(key.get(), privateItem.payload) ||
        !RSAKeyCodec::encodePublicPkcs1(key.get(), publicItem.payload))
        return kKeyStoreInternalError;
    // Private first: a crash in between leaves a lone private key, which the next call replaces.
    status = writeItem(directory, keyFileName(privateTag), privateItem, true);
    if (status != kKeyStoreSuccess)
        return status;
    return writeItem(directory, keyFileName(publicTag), publicItem, publicPresent);
}

KeyStoreStatus FileKeyStore::deleteKeyPair(const std::string& publicTag, const std::string& privateTag) {
    return removeItems({keyFileName(publicTag), keyFileName(privateTag)});
}

KeyStoreStatus FileKeyStore::copyKeyData(const std::string& tag, std::vector<std::uint8_t>& data) {
    data.clear();
    Item item;
    const KeyStoreStatus status = readItem(keyFileName(tag), tag, {}, item);
    if (status != kKeyStoreSuccess)
        return status;
    if (item.kind == kPrivateKey)
        return kKeyStoreNotExportable;
    if (item.kind != kPublicKey)
        return kKeyStoreDecodeError;
    data = item.payload;
    return kKeyStoreSuccess;
}

void FileKeyStore::forgetItem(const std::string& name) {
    // This process's own changes are seen at once, whatever the file system's time resolution.
    std::lock_guard lock(cacheMutex_);
    keyCache_.erase(name);
    passwordCache_.erase(name);
}

std::optional<FileKeyStore::FileIdentity> FileKeyStore::identityOf(const SafeDirectory& directory,
                                                                   const std::string& name) {
    struct stat info {};
    if (::fstatat(directory.fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return FileIdentity{std::int64_t(info.st_dev), std::int64_t(info.st_ino), std::int64_t(info.st_size),
                        std::int64_t(info.st_mtim.tv_sec), std::int64_t(info.st_mtim.tv_nsec)};
}

KeyStoreStatus FileKeyStore::copyKeyRef(const std::string& tag, std::shared_ptr<const KeyRef>& key) {
    key.reset();
    SafeDirectory own;
    const SafeDirectory* opened = nullptr;
    KeyStoreStatus status = directoryForRead(own, opened);
    if (status != kKeyStoreSuccess)
        return status;
    const SafeDirectory& directory = *opened;
    const std::string name = keyFileName(tag);
    const auto before = identityOf(directory, name);
    {
        std::lock_guard lock(cacheMutex_);
        if (takeCached(keyCache_, name, before, &CachedKey::key, key))
            return kKeyStoreSuccess;
    }

    Item item;
    status = readItem(directory, name, tag, {}, item);
    if (status != kKeyStoreSuccess)
        return status;
    EVP_PKEY_ptr parsed;
    if (item.kind == kPublicKey)
        parsed = RSAKeyCodec::parsePublicPkcs1(item.payload.data(), item.payload.size());
    else if (item.kind == kPrivateKey)
        parsed = RSAKeyCodec::parsePrivatePkcs8(item.payload.data(), item.payload.size());
    if (!parsed)
        return kKeyStoreDecodeError;
    key = std::make_shared<OpenSSLKeyRef>(std::move(parsed), item.kind == kPrivateKey);

    // Kept only when the file read is provably the one stat saw, before and after the read.
    if (const auto after = identityOf(directory, name); before && after == before) {
        std::lock_guard lock(cacheMutex_);
        keyCache_.insert_or_assign(name, CachedKey{*before, key});
    }
    return kKeyStoreSuccess;
}

KeyStoreStatus FileKeyStore::addKey(const std::string& tag, const std::vector<std::uint8_t>& pkcs1PublicKey) {
    if (!RSAKeyCodec::parsePublicPkcs1(pkcs1PublicKey.data(), pkcs1PublicKey.size()))
        return kKeyStoreParameterError;
    Item item{kPublicKey, tag, {}, pkcs1PublicKey};
    WriteLock lock(*this, true);
    if (lock.status() != 0)
        return kKeyStoreIOError;
    return writeItem(lock.directory(), keyFileName(tag), item, false);
}

KeyStoreStatus FileKeyStore::deleteKey(const std::string& tag) {
    return removeItems({keyFileName(tag)});
}

std::shared_ptr<const KeyRef> FileKeyStore::createPublicKey(const std::vector<std::uint8_t>& pkcs1PublicKey) {
    EVP_PKEY_ptr parsed = RSAKeyCodec::parsePublicPkcs1(pkcs1PublicKey.data(), pkcs1PublicKey.size());
    if (!parsed)
        return nullptr;
    return std::make_shared<OpenSSLKeyRef>(std::move(parsed), false);
}

} // namespace velquor::detail
