#include "AtomicFile.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velquor::service {
namespace {

std::string systemError(const std::string& what, const std::filesystem::path& path) {
    return what + " " + path.string() + ": " + std::strerror(errno);
}

} // namespace

std::optional<std::string> AtomicFile::write(const std::filesystem::path& path, std::string_view bytes,
                                             mode_t mode) {
    std::random_device random;
    const auto temporary =
        path.parent_path() / ("." + path.filename().string() + ".tmp" + std::to_string(random()));
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return systemError("cannot create", temporary);
    auto fail = [&](const std::string& what) {
        auto text = systemError(what, temporary);
        ::close(fd);
        ::unlink(temporary.c_str());
        return text;
    };
    if (::fchmod(fd, mode) != 0)
        return fail("cannot set the mode of");
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail("cannot write");
        written += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0)
        return fail("cannot sync");
    if (::close(fd) != 0) {
        auto text = systemError("cannot close", temporary);
        ::unlink(temporary.c_str());
        return text;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        auto text = systemError("cannot rename onto", path);
        ::unlink(temporary.c_str());
        return text;
    }
    const auto directory = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return std::nullopt;
}

std::optional<std::string> AtomicFile::read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return buffer.str();
}

} // namespace velquor::service
