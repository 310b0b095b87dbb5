#include "platform/linux/FileSettingsSuite.hpp"

#include "platform/linux/AtomicFile.hpp"
#include "platform/linux/SafeDirectory.hpp"
#include "util/BoundedJson.hpp"
#include "util/Utf8.hpp"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velquor::detail {

namespace {

constexpr std::size_t kMaximumFileSize = 16u << 20;
constexpr const char* kFolder = "Preferences";

// What identifies one version of the file on disk.
struct FileSignature {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long modifiedNanoseconds = 0;

    static FileSignature of(const SafeDirectory& directory, const std::string& name) {
        FileSignature signature;
        struct stat info {};
        if (!directory.isOpen() || ::fstatat(directory.fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return signature;
        signature.exists = true;
        signature.device = info.st_dev;
        signature.inode = info.st_ino;
        signature.size = info.st_size;
        signature.modifiedNanoseconds =
            static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
        return signature;
    }

    bool operator==(const FileSignature&) const = default;
};

// Opens the Preferences folder; an unopenable folder leaves `folder` closed.
void openFolder(const std::filesystem::path& applicationDirectory, bool create, SafeDirectory& folder) {
    SafeDirectory application;
    if (SafeDirectory::open(applicationDirectory, SafeDirectory::Access::ownerWritable, create,
                            application) == 0)
        application.openChild(kFolder, SafeDirectory::Access::ownerOnly, create, folder);
}

// Holds an flock on the folder for one read-modify-write, across processes.
class FolderLock {
public:
    explicit FolderLock(const SafeDirectory& folder) {
        if (!folder.isOpen())
            return;
        while (::flock(folder.fd(), LOCK_EX) != 0)
            if (errno != EINTR)
                return;
        fd_ = folder.fd();
    }
    ~FolderLock() {
        if (fd_ >= 0)
            ::flock(fd_, LOCK_UN);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_ = -1;
};

} // namespace

struct FileSettingsSuite::Storage {
    std::filesystem::path applicationDirectory;
    std::string name;
    std::mutex mutex;
    nlohmann::json values = nlohmann::json::object();
    std::optional<FileSignature> loaded; // what `values` was read from or written as
    bool dirty = false;                  // `values` holds changes not yet on disk
    bool damaged = false;                // the file on disk is no suite; it is left alone

    // Caller holds `mutex`.
    void refresh(const SafeDirectory& folder) {
        if (dirty)
            return; // memory is ahead of the file; the next successful write settles it
        const auto signature = FileSignature::of(folder, name);
        if (loaded && *loaded == signature)
            return;
        values = nlohmann::json::object();
        damaged = false;
        if (signature.exists) {
            std::string bytes;
            auto parsed = AtomicFile::read(folder.fd(), name, bytes, kMaximumFileSize) == 0
                              ? BoundedJson::parse(bytes)
                              : BoundedJson::Parsed{};
            if (parsed && parsed->is_object())
                values = std::move(*parsed);
            else
                damaged = true;
        }
        loaded = signature;
    }

    // Caller holds `mutex`.
    bool write(const SafeDirectory& folder) {
        std::string bytes;
        try {
            bytes = values.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        } catch (const std::exception&) {
            dirty = true;
            return false;
        }
        const int error = folder.isOpen() ? AtomicFile::write(folder.fd(), name, bytes, true) : EACCES;
        dirty = error != 0;
        if (!dirty)
            loaded = FileSignature::of(folder, name);
        return !dirty;
    }

    template <typename Result> Result read(const std::function<Result()>& body) {
        std::lock_guard lock(mutex);
        SafeDirectory folder;
        openFolder(applicationDirectory, false, folder);
        refresh(folder);
        return damaged ? Result{} : body();
    }

    // Re-reads and writes under the folder lock, so another process's change is not lost.
    void modify(const std::function<bool()>& change) {
        std::lock_guard lock(mutex);
        SafeDirectory folder;
        openFolder(applicationDirectory, true, folder);
        FolderLock folderLock(folder);
        refresh(folder);
        if (damaged)
            return;
        if (change())
            write(folder);
    }

    // One Storage per file in this process; leaked so no destructor runs at exit.
    static std::shared_ptr<Storage> forFile(const std::filesystem::path& applicationDirectory,
                                            const std::string& name) {
        static auto* mutex = new std::mutex;
        static auto* registry = new std::map<std::filesystem::path, std::weak_ptr<Storage>>;
        const auto key = applicationDirectory / kFolder / name;
        std::lock_guard lock(*mutex);
        auto& slot = (*registry)[key];
        if (auto existing = slot.lock())
            return existing;
        // Drop entries whose suites are all closed, so the registry does not grow without end.
        for (auto it = registry->begin(); it != registry->end();)
            it = it->second.expired() && it->first != key ? registry->erase(it) : std::next(it);
        auto storage = std::make_shared<Storage>();
        storage->applicationDirectory = applicationDirectory;
        storage->name = name;
        slot = storage;
        return storage;
    }
};

FileSettingsSuite::FileSettingsSuite(const std::filesystem::path& applicationDirectory,
                                     const std::string& fileName)
    : storage_(Storage::forFile(applicationDirectory, fileName)) {}

bool FileSettingsSuite::isDamaged() {
    return !storage_->read<bool>([] { return true; });
}

std::optional<bool> FileSettingsSuite::boolValue(const std::string& key) {
    return storage_->read<std::optional<bool>>([&]() -> std::optional<bool> {
        auto found = storage_->values.find(key);
        if (found == storage_->values.end() || !found->is_boolean())
            return std::nullopt;
        return found->get<bool>();
    });
}

std::optional<std::string> FileSettingsSuite::stringValue(const std::string& key) {
    return storage_->read<std::optional<std::string>>([&]() -> std::optional<std::string> {
        auto found = storage_->values.find(key);
        if (found == storage_->values.end() || !found->is_string())
            return std::nullopt;
        return found->get<std::string>();
    });
}

void FileSettingsSuite::setBool(const std::string& key, bool value) {
    storage_->modify([&] {
        storage_->values[sanitizeUtf8(key)] = value;
        return true;
    });
}

void FileSettingsSuite::setString(const std::string& key, const std::string& value) {
    storage_->modify([&] {
        storage_->values[sanitizeUtf8(key)] = sanitizeUtf8(value);
        return true;
    });
}

void FileSettingsSuite::remove(const std::string& key) {
    storage_->modify([&] { return storage_->values.erase(key) != 0; });
}

bool FileSettingsSuite::synchronize() {
    std::lock_guard lock(storage_->mutex);
    if (!storage_->dirty)
        return true;
    SafeDirectory folder;
    openFolder(storage_->applicationDirectory, true, folder);
    FolderLock folderLock(folder);
    return storage_->write(folder);
}

} // namespace velquor::detail
