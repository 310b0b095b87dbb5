#include "TokenIdLog.hpp"

#include "AtomicFile.hpp"
#include "ServiceKeys.hpp"

#include <cerrno>
#include <charconv>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace velquor::service {
namespace {

constexpr size_t largestFile = 512u << 20;

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// "<64 lower-case hex digits> <exp>", without its newline; false for anything else.
template <typename Digest> bool parseLine(std::string_view line, Digest& digest, int64_t& expiresAt) {
    if (line.size() < 2 * digest.size() + 2 || line[2 * digest.size()] != ' ')
        return false;
    for (size_t i = 0; i < digest.size(); ++i) {
        const int high = hexValue(line[2 * i]), low = hexValue(line[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        digest[i] = static_cast<unsigned char>(high << 4 | low);
    }
    const char* begin = line.data() + 2 * digest.size() + 1;
    const char* end = line.data() + line.size();
    const auto [stop, failure] = std::from_chars(begin, end, expiresAt);
    return failure == std::errc() && stop == end && *begin != '-' && *begin != '+';
}

template <typename Digest> void appendLine(std::string& out, const Digest& digest, int64_t expiresAt) {
    out += ServiceKeys::hex(digest);
    out += ' ';
    out += std::to_string(expiresAt);
    out += '\n';
}

} // namespace

std::unique_ptr<TokenIdLog> TokenIdLog::open(const std::filesystem::path& path, int64_t now,
                                             std::string& error) {
    std::string bytes;
    if (const int failed = velquor::detail::AtomicFile::read(path, bytes, largestFile);
        failed != 0 && failed != ENOENT) {
        error = "cannot read the token ids " + path.string() + ": " + std::strerror(failed);
        return nullptr;
    }
    std::unique_ptr<TokenIdLog> log(new TokenIdLog(path, now));
    std::string_view rest(bytes);
    // Only complete lines count: a line the process ended in the middle of was never answered.
    for (size_t number = 1, newline; (newline = rest.find('\n')) != std::string_view::npos; ++number) {
        Digest digest;
        int64_t expiresAt = 0;
        if (!parseLine(rest.substr(0, newline), digest, expiresAt)) {
            error = "the token ids " + path.string() + " are damaged at line " + std::to_string(number) +
                    "; remove the file to start without them";
            return nullptr;
        }
        if (expiresAt >= now)
            log->ids_[digest] = expiresAt;
        rest.remove_prefix(newline + 1);
    }
    if (auto failed = log->rewrite()) {
        error = *failed;
        return nullptr;
    }
    return log;
}

TokenIdLog::~TokenIdLog() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::optional<std::string> TokenIdLog::rewrite() {
    std::string content;
    content.reserve(ids_.size() * lineBytes);
    for (const auto& [digest, expiresAt] : ids_)
        appendLine(content, digest, expiresAt);
    if (auto failed = velquor::detail::AtomicFile::write(path_, content, 0600))
        return "cannot write the token ids: " + *failed;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0)
        return "cannot open the token ids " + path_.string() + ": " + std::strerror(errno);
    fileBytes_ = content.size();
    return std::nullopt;
}

bool TokenIdLog::record(std::string_view jti, int64_t expiresAt, int64_t now) {
    Digest digest;
    if (!ServiceKeys::sha256(jti, digest))
        throw std::runtime_error("token ids: cannot hash a token id");
    std::string line;
    line.reserve(lineBytes);
    appendLine(line, digest, expiresAt);

    std::lock_guard lock(mutex_);
    if (now >= nextPrune_) {
        // An expired token is refused before its id is looked up, so expired ids can go.
        std::erase_if(ids_, [now](const auto& entry) { return entry.second < now; });
        nextPrune_ = now + pruneEverySeconds;
        if (fileBytes_ > 2 * ids_.size() * lineBytes + (1u << 20))
            if (auto failed = rewrite())
                throw std::runtime_error(*failed);
    }
    const auto [entry, added] = ids_.try_emplace(digest, expiresAt);
    if (!added)
        return false;
    const ssize_t wrote = fd_ < 0 ? -1 : ::write(fd_, line.data(), line.size());
    if (wrote != static_cast<ssize_t>(line.size())) {
        const int failure = wrote < 0 ? errno : ENOSPC;
        ids_.erase(entry);
        // A part of a line would run into the next record; the file ends where it ended before.
        if (wrote > 0 && ::ftruncate(fd_, static_cast<off_t>(fileBytes_)) != 0) {
            ::close(fd_);
            fd_ = -1; // every later record fails rather than append after a broken line
        }
        throw std::runtime_error("cannot record a token id in " + path_.string() + ": " +
                                 std::strerror(failure));
    }
    fileBytes_ += line.size();
    return true;
}

} // namespace velquor::service
