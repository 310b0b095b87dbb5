#include "platform/linux/SafeDirectory.hpp"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velquor::detail {

namespace {

bool acceptable(const struct stat& info, SafeDirectory::Access access) {
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return false;
    if (access == SafeDirectory::Access::ownerOnly)
        return (info.st_mode & 07777) == 0700;
    return (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Makes the missing parents of `path` with mode 0700; failures surface when the last component
// is opened.
void createParents(const std::filesystem::path& path) {
    std::filesystem::path prefix;
    const auto parent = path.lexically_normal().parent_path();
    for (const auto& part : parent) {
        prefix /= part;
        if (!part.empty() && part != "/")
            ::mkdir(prefix.c_str(), 0700);
    }
}

} // namespace

SafeDirectory::~SafeDirectory() {
    if (fd_ >= 0)
        ::close(fd_);
}

SafeDirectory::SafeDirectory(SafeDirectory&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

SafeDirectory& SafeDirectory::operator=(SafeDirectory&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

int SafeDirectory::openAt(int parent, const char* name, Access access, bool create, SafeDirectory& out) {
    out = SafeDirectory();
    if (create && ::mkdirat(parent, name, 0700) != 0 && errno != EEXIST)
        return errno;
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno;
    SafeDirectory opened;
    opened.fd_ = fd;
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return errno;
    if (!acceptable(info, access))
        return EACCES;
    out = std::move(opened);
    return 0;
}

int SafeDirectory::open(const std::filesystem::path& path, Access access, bool create, SafeDirectory& out) {
    out = SafeDirectory();
    if (path.empty())
        return ENOENT;
    std::error_code ec;
    const auto normal = std::filesystem::absolute(path, ec).lexically_normal();
    if (ec)
        return ec.value();
    auto last = normal.filename();
    auto parent = normal.parent_path();
    if (last.empty()) { // "/x/y/" normalises with an empty last component
        last = parent.filename();
        parent = parent.parent_path();
    }
    if (last.empty() || last == "..")
        return EINVAL;
    // Without creating, one open of the whole path resolves exactly as the parent's open and the
    // last component's openat would (only the last is not followed) at half the system calls.
    if (!create)
        return openAt(AT_FDCWD, (parent / last).c_str(), access, false, out);
    createParents(normal);
    const int parentFd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0)
        return errno;
    const int result = openAt(parentFd, last.c_str(), access, create, out);
    ::close(parentFd);
    return result;
}

int SafeDirectory::openChild(const std::string& name, Access access, bool create, SafeDirectory& out) const {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return EINVAL;
    return openAt(fd_, name.c_str(), access, create, out);
}

} // namespace velquor::detail
