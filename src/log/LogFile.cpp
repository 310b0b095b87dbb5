// The log files. Everything below the lock works relative to one open handle of the documents
// directory, so a directory swapped underneath cannot redirect a write.
#include "log/LogFile.hpp"

#include "crypto/AES256CBC.hpp"
#include "log/LogTapOnly.hpp"
#include "platform/linux/SafeDirectory.hpp"
#include "state/ItemNames.hpp"
#include "util/Utf8.hpp"

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velquor::detail {
namespace {

constexpr std::string_view kKeyItem = items::kLogsKey;
constexpr std::size_t kKeyLength = 32;
constexpr std::size_t kIVLength = 16;

// Owns one file descriptor.
class Fd {
public:
    explicit Fd(int fd = -1)
        : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(Fd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

bool isWritten(LogLevel level) {
    return level == LogLevel::info || level == LogLevel::warning || level == LogLevel::error;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<std::string> readAll(int fd) {
    std::string content;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            return content;
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

Fd openAt(const Fd& dir, const char* name, int flags) {
    return Fd(::openat(dir.get(), name, flags | O_CLOEXEC | O_NOFOLLOW, 0600));
}

// Writes `content` to `name` through a temporary file, fsync and rename.
void replaceFile(const Fd& dir, const char* name, std::string_view content) {
    const std::string temporary = std::string(name) + ".tmp";
    Fd fd = openAt(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    if (!fd)
        return;
    bool written = writeAll(fd.get(), content) && ::fsync(fd.get()) == 0;
    if (!written || ::renameat(dir.get(), temporary.c_str(), dir.get(), name) != 0) {
        ::unlinkat(dir.get(), temporary.c_str(), 0);
        return;
    }
    ::fsync(dir.get());
}

} // namespace

LogFile::LogFile(Collaborators collaborators)
    : collaborators_(std::move(collaborators)) {}

void LogFile::say(const std::string& line) noexcept {
    try {
        if (collaborators_.console)
            collaborators_.console->writeLine(line);
    } catch (...) {
    }
}

std::optional<std::string> LogFile::logKey() noexcept {
    try {
        const LogTapOnly tapOnly; // the key store may log: that must not come back here
        std::lock_guard lock(mutex_);
        return logKeyLocked();
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::string> LogFile::logKeyLocked() {
    KeyStore* store = collaborators_.keyStore.get();
    if (!store)
        return std::nullopt;
    std::vector<std::uint8_t> data;
    KeyStoreStatus status = store->copyPassword(std::string(kKeyItem), std::string(kKeyItem), data);
    if (status == kKeyStoreSuccess) {
        std::string text(data.begin(), data.end());
        if (!text.empty() && isValidUtf8(text))
            return text;
    } else if (status != kKeyStoreItemNotFound) {
        // A passing failure: minting a key now would make every earlier line unreadable.
        return std::nullopt;
    }
    std::optional<std::string> key = AES256CBC::randomText(kKeyLength, false, false);
    if (!key)
        return std::nullopt;
    const std::vector<std::uint8_t> bytes(key->begin(), key->end());
    // An item without text counts as absent and is replaced; otherwise add, so that a key another
    // process stored meanwhile wins over ours.
    status = status == kKeyStoreSuccess
                 ? store->replacePassword(std::string(kKeyItem), std::string(kKeyItem), bytes)
                 : store->addPassword(std::string(kKeyItem), std::string(kKeyItem), bytes);
    if (status == kKeyStoreSuccess)
        return key;
    if (status != kKeyStoreDuplicateItem)
        return std::nullopt;
    data.clear();
    if (store->copyPassword(std::string(kKeyItem), std::string(kKeyItem), data) != kKeyStoreSuccess)
        return std::nullopt;
    std::string stored(data.begin(), data.end());
    if (stored.empty() || !isValidUtf8(stored))
        return std::nullopt;
    return stored;
}

namespace {

// The documents directory, opened after checking it is the user's own and closed to others to
// write; made owner-only, with any missing parents, when it is missing.
Fd openDocuments(const std::filesystem::path& documents) {
    SafeDirectory dir;
    if (documents.empty() ||
        SafeDirectory::open(documents, SafeDirectory::Access::ownerWritable, true, dir) != 0)
        return Fd();
    return Fd(::fcntl(dir.fd(), F_DUPFD_CLOEXEC, 0));
}

} // namespace

void LogFile::append(LogLevel level, const std::string& plainLine) noexcept {
    try {
        const LogTapOnly tapOnly;
        std::lock_guard lock(mutex_);
        std::optional<std::string> key = logKeyLocked();
        if (!key || !isWritten(level))
            return;
        Fd dir = openDocuments(collaborators_.documents);
        if (!dir)
            return;
        std::optional<std::string> stored = AES256CBC::encryptString(plainLine, *key);
        if (!stored)
            return;

        struct stat st {};
        if (::fstatat(dir.get(), kCurrentName, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            static_cast<std::uint64_t>(st.st_size) > kRotationSize &&
            ::renameat(dir.get(), kCurrentName, dir.get(), kOldName) != 0) {
            // The current file stays and keeps growing; nothing in it is lost.
            const std::error_code error(errno, std::generic_category());
            say(std::string("Could not move ") + kCurrentName + " to " + kOldName + ": " + error.message());
        }

        Fd fd = openAt(dir, kCurrentName, O_RDWR | O_APPEND | O_CREAT);
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return;
        std::string out;
        out.reserve(stored->size() + 2);
        char last = '\n';
        if (st.st_size > 0 && ::pread(fd.get(), &last, 1, st.st_size - 1) == 1 && last != '\n')
            out += '\n'; // ends a line torn by a crash, so it costs only itself
        out += *stored;
        out += '\n';
        writeAll(fd.get(), out);
    } catch (...) {
        // A log call never fails: the line is lost.
    }
}

LogFile::ReadBack LogFile::readDecryptedLog() noexcept {
    ReadBack result;
    try {
        const LogTapOnly tapOnly;
        std::lock_guard lock(mutex_);
        std::optional<std::string> key = logKeyLocked();
        Fd dir = openDocuments(collaborators_.documents);
        // Without a key nothing can be read; nothing is marked, so a reset keeps every line.
        if (!key || !dir)
            return result;
        for (const char* name : {kOldName, kCurrentName}) {
            Fd fd = openAt(dir, name, O_RDONLY);
            struct stat st {};
            if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            std::optional<std::string> content = readAll(fd.get());
            if (!content)
                continue;
            auto hold = std::make_shared<Fd>(fd.release());
            result.mark.pieces.push_back({st.st_dev, st.st_ino, content->size(), std::move(hold)});
            std::string_view rest(*content);
            while (!rest.empty()) {
                std::size_t end = std::min(rest.find('\n'), rest.size());
                std::string_view line = rest.substr(0, end);
                rest.remove_prefix(std::min(end + 1, rest.size()));
                if (line.size() <= kIVLength || key->size() != kKeyLength)
                    continue;
                auto plain = AES256CBC::aesDecrypt(std::string(line.substr(kIVLength)), *key,
                                                   std::string(line.substr(0, kIVLength)));
                if (!plain) {
                    say("an error occured while decrypting");
                    continue;
                }
                result.text += plain.value();
                result.text += '\n';
            }
        }
    } catch (...) {
        result = ReadBack{};
    }
    return result;
}

void LogFile::resetLogs(const ReadMark& mark) noexcept {
    try {
        const LogTapOnly tapOnly;
        std::lock_guard lock(mutex_);
        Fd dir = openDocuments(collaborators_.documents);
        if (!dir)
            return;
        for (const char* name : {kOldName, kCurrentName}) {
            Fd fd = openAt(dir, name, O_RDONLY);
            struct stat st {};
            if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            auto piece = std::find_if(mark.pieces.begin(), mark.pieces.end(), [&](const auto& p) {
                return p.device == st.st_dev && p.inode == st.st_ino;
            });
            // A file the read-back never saw holds only later lines: left as it is.
            if (piece == mark.pieces.end())
                continue;
            std::optional<std::string> content = readAll(fd.get());
            if (!content)
                continue;
            std::string_view kept(*content);
            kept.remove_prefix(std::min<std::uint64_t>(piece->bytes, kept.size()));
            if (kept.empty() && std::string_view(name) == kOldName)
                ::unlinkat(dir.get(), name, 0);
            else
                replaceFile(dir, name, kept);
        }
    } catch (...) {
    }
}

} // namespace velquor::detail
