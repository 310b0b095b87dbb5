#include "platform/linux/AtomicFile.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velquor::detail {

namespace {

constexpr const char* kTemporaryPrefix = ".tmp-";

std::string randomHex(std::size_t bytes) {
    unsigned char buffer[16] = {};
    bytes = std::min(bytes, sizeof buffer);
    std::size_t filled = 0;
    while (filled < bytes) {
        ssize_t got = getrandom(buffer + filled, bytes - filled, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            // No entropy source: fall back to something unique within this machine and moment.
            auto mix = static_cast<unsigned long long>(std::time(nullptr)) ^
                       (static_cast<unsigned long long>(getpid()) << 20) ^
                       reinterpret_cast<std::uintptr_t>(&filled);
            for (std::size_t i = filled; i < bytes; ++i, mix >>= 3)
                buffer[i] = static_cast<unsigned char>(mix);
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < bytes; ++i) {
        text += digits[buffer[i] >> 4];
        text += digits[buffer[i] & 0xF];
    }
    return text;
}

int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

// Runs `body` with a descriptor of `directory` (links followed, as path callers always did).
template <typename Body> int withDirectory(const std::filesystem::path& directory, Body body) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int result = body(fd);
    ::close(fd);
    return result;
}

// Moves `from` to `to` only when `to` does not exist.
int renameNoReplace(int directory, const char* from, const char* to) {
    if (::renameat2(directory, from, directory, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    // File systems without RENAME_NOREPLACE: link() refuses an existing target just the same.
    if (::linkat(directory, from, directory, to, 0) != 0)
        return errno;
    ::unlinkat(directory, from, 0);
    return 0;
}

bool isOneComponent(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

} // namespace

int AtomicFile::ensureDirectory(const std::filesystem::path& directory) {
    if (directory.empty())
        return ENOENT;
    std::filesystem::path prefix;
    for (const auto& part : directory.lexically_normal()) {
        prefix /= part;
        if (part.empty() || part == "/")
            continue;
        if (::mkdir(prefix.c_str(), 0700) == 0 || errno == EEXIST)
            continue;
        return errno;
    }
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0)
        return errno;
    if (!S_ISDIR(info.st_mode))
        return ENOTDIR;
    if ((info.st_mode & 07777) != 0700 && ::chmod(directory.c_str(), 0700) != 0)
        return errno;
    return 0;
}

int AtomicFile::write(const std::filesystem::path& directory, const std::string& name, std::string_view bytes,
                      bool replace) {
    return withDirectory(directory, [&](int fd) { return write(fd, name, bytes, replace); });
}

std::optional<std::string> AtomicFile::write(const std::filesystem::path& path, std::string_view bytes,
                                             mode_t mode) {
    const auto directory = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
    const int result = withDirectory(
        directory, [&](int fd) { return write(fd, path.filename().string(), bytes, true, mode); });
    if (result == 0)
        return std::nullopt;
    return "cannot write " + path.string() + ": " + std::strerror(result);
}

std::optional<std::string> AtomicFile::read(const std::filesystem::path& path) {
    std::string bytes;
    if (read(path, bytes, std::size_t{64} << 20) != 0)
        return std::nullopt;
    return bytes;
}

int AtomicFile::read(const std::filesystem::path& file, std::string& bytes, std::size_t maxSize) {
    return read(AT_FDCWD, file.string(), bytes, maxSize);
}

int AtomicFile::remove(const std::filesystem::path& directory, const std::string& name) {
    return withDirectory(directory, [&](int fd) { return remove(fd, name); });
}

void AtomicFile::removeStaleTemporaries(const std::filesystem::path& directory, std::chrono::seconds age) {
    withDirectory(directory, [&](int fd) {
        removeStaleTemporaries(fd, age);
        return 0;
    });
}

int AtomicFile::write(int directory, const std::string& name, std::string_view bytes, bool replace,
                      mode_t mode) {
    if (!isOneComponent(name))
        return EINVAL;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        // Appended, not concatenated: GCC 12 at -O3 raises a false -Wrestrict on "literal + string".
        temporary.assign(kTemporaryPrefix);
        temporary += randomHex(12);
        fd = ::openat(directory, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                      mode);
        if (fd < 0 && errno != EEXIST)
            return errno;
    }
    if (fd < 0)
        return EEXIST;
    int result = ::fchmod(fd, mode) == 0 ? 0 : errno;
    if (result == 0)
        result = writeAll(fd, bytes);
    if (result == 0 && ::fsync(fd) != 0)
        result = errno;
    if (::close(fd) != 0 && result == 0)
        result = errno;
    if (result == 0) {
        if (replace)
            result = ::renameat(directory, temporary.c_str(), directory, name.c_str()) == 0 ? 0 : errno;
        else
            result = renameNoReplace(directory, temporary.c_str(), name.c_str());
    }
    if (result != 0) {
        ::unlinkat(directory, temporary.c_str(), 0);
        return result;
    }
    return ::fsync(directory) == 0 ? 0 : errno;
}

int AtomicFile::read(int directory, const std::string& name, std::string& bytes, std::size_t maxSize) {
    bytes.clear();
    int fd = ::openat(directory, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return errno;
    struct stat info {};
    int result = 0;
    if (::fstat(fd, &info) != 0)
        result = errno;
    else if (!S_ISREG(info.st_mode))
        result = EINVAL;
    else if (static_cast<std::size_t>(info.st_size) > maxSize)
        result = EFBIG;
    if (result == 0) {
        bytes.reserve(static_cast<std::size_t>(info.st_size));
        char buffer[8192];
        for (;;) {
            ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                result = errno;
                break;
            }
            if (got == 0)
                break;
            if (bytes.size() + static_cast<std::size_t>(got) > maxSize) {
                result = EFBIG;
                break;
            }
            bytes.append(buffer, static_cast<std::size_t>(got));
        }
        ::explicit_bzero(buffer, sizeof buffer); // the file may hold key material
    }
    ::close(fd);
    if (result != 0)
        bytes.clear();
    return result;
}

int AtomicFile::remove(int directory, const std::string& name) {
    if (!isOneComponent(name))
        return EINVAL;
    if (::unlinkat(directory, name.c_str(), 0) != 0)
        return errno;
    return ::fsync(directory) == 0 ? 0 : errno;
}

void AtomicFile::removeStaleTemporaries(int directory, std::chrono::seconds age) {
    const int listing = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0)
        return;
    DIR* entries = ::fdopendir(listing);
    if (entries == nullptr) {
        ::close(listing);
        return;
    }
    const auto now = std::time(nullptr);
    while (const dirent* entry = ::readdir(entries)) {
        const std::string name = entry->d_name;
        if (name.rfind(kTemporaryPrefix, 0) != 0)
            continue;
        struct stat info {};
        if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            now - info.st_mtime > age.count())
            ::unlinkat(directory, name.c_str(), 0);
    }
    ::closedir(entries); // closes `listing`
}

} // namespace velquor::detail
