// Whole-file reads and crash-safe whole-file writes inside one directory.
//
// A write goes to a fresh temporary file in the same directory (name starting ".tmp-", mode
// 0600), is flushed with fsync, renamed over the target and followed by an fsync of the
// directory, so a reader, another process or a power cut sees the old or the new content,
// never a mix. A temporary file left by an interrupted write never has a target's name.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace velquor::detail {

// Stateless; every function is safe from any thread. Results are 0 or an errno value.
class AtomicFile {
public:
    // Creates `directory` and its missing parents with mode 0700. An existing `directory` is
    // narrowed to 0700 when it is wider. Fails with ENOTDIR when something else is in the way.
    static int ensureDirectory(const std::filesystem::path& directory);

    // Writes `bytes` as `directory`/`name`. With `replace` false an existing file is kept and
    // the result is EEXIST. `name` must be one path component.
    static int write(const std::filesystem::path& directory, const std::string& name, std::string_view bytes,
                     bool replace);

    // The same write for a caller that holds a whole path and wants readable text: `mode` is
    // applied before any byte is written (a key file is never readable by others) and an
    // existing file is replaced. The error text, or nullopt on success.
    static std::optional<std::string> write(const std::filesystem::path& path, std::string_view bytes,
                                            mode_t mode);
    // The whole regular file (at most 64 MiB), or nullopt when it cannot be read.
    static std::optional<std::string> read(const std::filesystem::path& path);

    // Reads the whole regular file (symbolic links are not followed). ENOENT when it is
    // missing; EFBIG when it is larger than `maxSize`.
    static int read(const std::filesystem::path& file, std::string& bytes, std::size_t maxSize);

    // Removes `directory`/`name` and makes the removal durable. ENOENT when it was missing.
    static int remove(const std::filesystem::path& directory, const std::string& name);

    // Removes temporary files of interrupted writes older than `age`; errors are ignored.
    static void removeStaleTemporaries(const std::filesystem::path& directory, std::chrono::seconds age);

    // The same, relative to an open directory descriptor, so a path component swapped for a
    // link meanwhile redirects nothing. `name` is one path component.
    static int write(int directory, const std::string& name, std::string_view bytes, bool replace,
                     mode_t mode = 0600);
    static int read(int directory, const std::string& name, std::string& bytes, std::size_t maxSize);
    static int remove(int directory, const std::string& name);
    static void removeStaleTemporaries(int directory, std::chrono::seconds age);
};

} // namespace velquor::detail
