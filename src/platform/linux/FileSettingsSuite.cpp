#include "platform/linux/FileSettingsSuite.hpp"

#include "platform/linux/AtomicFile.hpp"
#include "util/Utf8.hpp"

#include <nlohmann/json.hpp>

#include <map>
#include <mutex>

#include <sys/stat.h>

namespace velquor::detail {

namespace {

constexpr std::size_t kMaximumFileSize = 16u << 20;

// What identifies one version of the file on disk.
struct FileSignature {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long modifiedNanoseconds = 0;

    static FileSignature of(const std::filesystem::path& file) {
        FileSignature signature;
        struct stat info {};
        if (::stat(file.c_str(), &info) != 0)
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

} // namespace

struct FileSettingsSuite::Storage {
    std::filesystem::path file;
    std::mutex mutex;
    nlohmann::json values = nlohmann::json::object();
    std::optional<FileSignature> loaded; // what `values` was read from or written as
    bool dirty = false;                  // `values` holds changes not yet on disk

    // Caller holds `mutex`.
    void refresh() {
        if (dirty)
            return; // memory is ahead of the file; the next successful write settles it
        const auto signature = FileSignature::of(file);
        if (loaded && *loaded == signature)
            return;
        values = nlohmann::json::object();
        if (signature.exists) {
            std::string bytes;
            if (AtomicFile::read(file, bytes, kMaximumFileSize) == 0) {
                auto parsed = nlohmann::json::parse(bytes, nullptr, false);
                if (parsed.is_object())
                    values = std::move(parsed);
            }
        }
        loaded = signature;
    }

    // Caller holds `mutex`.
    bool write() {
        std::string bytes;
        try {
            bytes = values.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        } catch (const std::exception&) {
            dirty = true;
            return false;
        }
        const auto directory = file.parent_path();
        int error = AtomicFile::write(directory, file.filename().string(), bytes, true);
        if (error == ENOENT && AtomicFile::ensureDirectory(directory) == 0)
            error = AtomicFile::write(directory, file.filename().string(), bytes, true);
        dirty = error != 0;
        if (!dirty)
            loaded = FileSignature::of(file);
        return !dirty;
    }

    // One Storage per file in this process; leaked so no destructor runs at exit.
    static std::shared_ptr<Storage> forFile(const std::filesystem::path& file) {
        static auto* mutex = new std::mutex;
        static auto* registry = new std::map<std::filesystem::path, std::weak_ptr<Storage>>;
        std::lock_guard lock(*mutex);
        auto& slot = (*registry)[file];
        if (auto existing = slot.lock())
            return existing;
        // Drop entries whose suites are all closed, so the registry does not grow without end.
        for (auto it = registry->begin(); it != registry->end();)
            it = it->second.expired() && it->first != file ? registry->erase(it) : std::next(it);
        auto storage = std::make_shared<Storage>();
        storage->file = file;
        slot = storage;
        return storage;
    }
};

FileSettingsSuite::FileSettingsSuite(const std::filesystem::path& file)
    : storage_(Storage::forFile(file)) {}

std::optional<bool> FileSettingsSuite::boolValue(const std::string& key) {
    std::lock_guard lock(storage_->mutex);
    storage_->refresh();
    auto found = storage_->values.find(key);
    if (found == storage_->values.end() || !found->is_boolean())
        return std::nullopt;
    return found->get<bool>();
}

std::optional<std::string> FileSettingsSuite::stringValue(const std::string& key) {
    std::lock_guard lock(storage_->mutex);
    storage_->refresh();
    auto found = storage_->values.find(key);
    if (found == storage_->values.end() || !found->is_string())
        return std::nullopt;
    return found->get<std::string>();
}

void FileSettingsSuite::setBool(const std::string& key, bool value) {
    std::lock_guard lock(storage_->mutex);
    storage_->refresh();
    storage_->values[sanitizeUtf8(key)] = value;
    storage_->write();
}

void FileSettingsSuite::setString(const std::string& key, const std::string& value) {
    std::lock_guard lock(storage_->mutex);
    storage_->refresh();
    storage_->values[sanitizeUtf8(key)] = sanitizeUtf8(value);
    storage_->write();
}

void FileSettingsSuite::remove(const std::string& key) {
    std::lock_guard lock(storage_->mutex);
    storage_->refresh();
    if (storage_->values.erase(key) != 0)
        storage_->write();
}

bool FileSettingsSuite::synchronize() {
    std::lock_guard lock(storage_->mutex);
    if (!storage_->dirty)
        return true;
    return storage_->write();
}

} // namespace velquor::detail
