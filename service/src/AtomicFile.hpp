// Whole-file writes that a crash cannot leave half done: temporary file in the same directory,
// fsync, rename over the target, fsync of the directory.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace velquor::service {

// Stateless; safe from any thread (two writers of one path: the last rename wins whole).
class AtomicFile {
public:
    // Writes `bytes` to `path` with permission bits `mode` (applied before any byte is written,
    // so a key file is never readable by others). Returns the error text, or nullopt on success.
    static std::optional<std::string> write(const std::filesystem::path& path, std::string_view bytes,
                                            mode_t mode);
    // The whole file, or nullopt when it cannot be read.
    static std::optional<std::string> read(const std::filesystem::path& path);
};

} // namespace velquor::service
