// Packs the decrypted log text into a ZIP archive in memory for upload: one deflated entry
// named "velquorv2.log", dated now (UTC), default permissions, read in 16 KiB chunks.
//
//   if (auto archive = ZipLog::zip(text)) upload(*archive);
//
// Stateless; thread-safe (each call builds its own archive).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velquor::detail {

class ZipLog {
public:
    // The complete archive's bytes, or nothing when `text` is not UTF-8, is 4 GiB or more, or the
    // entry could not be added: a partly written archive is never handed out for upload.
    static std::optional<std::vector<std::uint8_t>> zip(const std::string& text);
};

} // namespace velquor::detail
