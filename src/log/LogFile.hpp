// The encrypted diagnostic log on disk: "velquorv2.log" (current) and "velquorv2.old" (the one
// older generation) in the host application's documents directory. Each stored line is
// AES256CBC::encryptString(plain line, log key) followed by a line feed; the log key is the key-store
// item "logsKey", made on first need.
//
//   LogFile file({.documents = dir, .keyStore = store, .console = console});
//   file.append(LogLevel::info, plainLine);
//   auto back = file.readDecryptedLog();   // upload back.text ...
//   file.resetLogs(back.mark);             // ... then remove exactly what was uploaded
//
// An append costs the same whatever the file's size: the stored line and its line feed go out in
// one write to the file opened for appending (opened per line, so a rotation or reset by another
// process is followed). A line torn by a crash costs only itself: the next append first ends it.
//
// Thread-safe: appends, rotations, read-back, resets and the creation of the log key are
// serialised by one lock. Build the plain line before calling, since building it may log; what
// the key store logs under the lock reaches only the log's tap (LogTapOnly). No callbacks; rotation failures
// and undecryptable lines are reported on the Console handed in.
#pragma once

#include "log/Log.hpp"

#include <velquor/Platform.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace velquor::detail {

class LogFile {
public:
    static constexpr const char* kCurrentName = "velquorv2.log";
    static constexpr const char* kOldName = "velquorv2.old";
    // The current file moves to the old generation once it holds more than this many bytes.
    static constexpr std::uint64_t kRotationSize = 1'000'000;

    struct Collaborators {
        // Empty: there is no documents directory and every line is dropped. Created owner-only
        // (0700) when missing, with any missing parents; a directory that is not the user's own,
        // or that others may write, is refused (lines dropped).
        std::filesystem::path documents;
        std::shared_ptr<KeyStore> keyStore;
        std::shared_ptr<Console> console; // may be null: messages are then dropped
    };

    // What one read-back consumed: for each file it read, the file's identity and the number of
    // bytes read. It keeps those files open, so a file created later cannot reuse an identity.
    struct ReadMark {
        struct Piece {
            dev_t device = 0;
            ino_t inode = 0;
            std::uint64_t bytes = 0;
            std::shared_ptr<const void> hold; // the open file
        };
        std::vector<Piece> pieces;
    };

    struct ReadBack {
        // Every decrypted line, older file first, each followed by a line feed.
        std::string text;
        ReadMark mark;
    };

    explicit LogFile(Collaborators collaborators);

    // The log key, made and stored when the key store has none. Nothing when the store fails in
    // any other way (an existing key is never replaced by a new one) or no random text is had.
    std::optional<std::string> logKey() noexcept;

    // Makes sure a log key exists, then writes `plainLine` encrypted when `level` is INFO,
    // WARNING or ERROR. Rotates first when the current file is past kRotationSize; if that move
    // fails the console says so and the line goes to the current file. Never throws; a line that
    // cannot be written is lost.
    void append(LogLevel level, const std::string& plainLine) noexcept;

    // Decrypts both files. Lines that do not decrypt under the current key are left out, each
    // with "an error occured while decrypting" on the console.
    ReadBack readDecryptedLog() noexcept;

    // Removes exactly the lines `mark` covers, wherever rotation has moved them since, and keeps
    // in order every line appended after that read-back. Errors are ignored.
    void resetLogs(const ReadMark& mark) noexcept;

private:
    std::optional<std::string> logKeyLocked();
    void say(const std::string& line) noexcept;

    const Collaborators collaborators_;
    std::mutex mutex_;
};

} // namespace velquor::detail
