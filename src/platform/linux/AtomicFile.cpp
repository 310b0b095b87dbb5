#include "platform/linux/AtomicFile.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

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

int syncDirectory(const std::filesystem::path& directory) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int result = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return result;
}

// Moves `from` to `to` only when `to` does not exist.
int renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    // File systems without RENAME_NOREPLACE: link() refuses an existing target just the same.
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno;
    ::unlink(from.c_str());
    return 0;
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
    return write(directory, name, bytes, replace, 0600);
}

std::optional<std::string> AtomicFile::write(const std::filesystem::path& path, std::string_view bytes,
                                             mode_t mode) {
    const auto directory = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
    const int result = write(directory, path.filename().string(), bytes, true, mode);
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

int AtomicFile::write(const std::filesystem::path& directory, const std::string& name, std::string_view bytes,
                      bool replace, mode_t mode) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return EINVAL;
    const auto target = directory / name;
    std::filesystem::path temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temporary = directory / (std::string(kTemporaryPrefix) + randomHex(12));
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
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
            result = ::rename(temporary.c_str(), target.c_str()) == 0 ? 0 : errno;
        else
            result = renameNoReplace(temporary, target);
    }
    if (result != 0) {
        ::unlink(temporary.c_str());
        return result;
    }
    return syncDirectory(directory);
}

int AtomicFile::read(const std::filesystem::path& file, std::string& bytes, std::size_t maxSize) {
    bytes.clear();
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
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

int AtomicFile::remove(const std::filesystem::path& directory, const std::string& name) {
    const auto target = directory / name;
    if (::unlink(target.c_str()) != 0)
        return errno;
    return syncDirectory(directory);
}

void AtomicFile::removeStaleTemporaries(const std::filesystem::path& directory, std::chrono::seconds age) {
    std::error_code ec;
    const auto now = std::time(nullptr);
    for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(kTemporaryPrefix, 0) != 0)
            continue;
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) == 0 && now - info.st_mtime > age.count())
            ::unlink(it->path().c_str());
    }
}

} // namespace velquor::detail
