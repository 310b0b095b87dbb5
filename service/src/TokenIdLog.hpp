// The token ids ("jti") the service has answered, each kept until its token expires, so that a
// request token is answered once only, across restarts too.
//
// Ids are held in memory and appended to a file, one line per id, before the reply leaves: a
// record costs one short write, where a database row cost a B-tree insert and a journal commit on
// every signed request. Each line is the SHA-256 of the id in hex and the token's "exp":
//
//   9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08 1765170000
//
// so every line has the same shape whatever a client put in its "jti", and memory per id is fixed.
// A crash can cut only the last line, which is then ignored (its token was never answered). The
// file is rewritten atomically, without expired ids, when opened and when it has grown well past
// the ids still live. Like the database, appends are not synced one by one: they survive the
// process ending at any moment, not the machine losing power.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velquor::service {

// Thread-safe.
class TokenIdLog {
public:
    // Opens the log at `path` (created 0600 when missing), keeping the ids whose token expires at
    // `now` or later. nullptr, with `error` naming the file, when it cannot be read or written or
    // holds a line that is not a record (a cut-off last line is not an error).
    static std::unique_ptr<TokenIdLog> open(const std::filesystem::path& path, int64_t now,
                                            std::string& error);
    ~TokenIdLog();
    TokenIdLog(const TokenIdLog&) = delete;
    TokenIdLog& operator=(const TokenIdLog&) = delete;

    // True when `jti` was not recorded before and now is, until `expiresAt`; false when it was
    // recorded and its token has not expired. Throws std::runtime_error when the file cannot be
    // written; the id is then not recorded.
    bool record(std::string_view jti, int64_t expiresAt, int64_t now);

private:
    using Digest = std::array<unsigned char, 32>; // SHA-256 of an id
    struct DigestHash {
        size_t operator()(const Digest& digest) const {
            size_t value;
            std::memcpy(&value, digest.data(), sizeof value); // already uniformly spread
            return value;
        }
    };

    TokenIdLog(std::filesystem::path path, int64_t now)
        : path_(std::move(path))
        , nextPrune_(now + pruneEverySeconds) {}
    // Replaces the file with the ids held and reopens it for appending; an error text on failure.
    std::optional<std::string> rewrite();

    static constexpr int64_t pruneEverySeconds = 60;
    static constexpr size_t lineBytes = 64 + 1 + 20 + 1; // the longest line: hex, space, int64, newline

    const std::filesystem::path path_;
    std::mutex mutex_;
    std::unordered_map<Digest, int64_t, DigestHash> ids_; // guarded by mutex_; digest to "exp"
    int fd_ = -1;                                         // guarded by mutex_; appends
    uint64_t fileBytes_ = 0;                              // guarded by mutex_
    int64_t nextPrune_;                                   // guarded by mutex_
};

} // namespace velquor::service
