// A ZIP archive kept entirely in memory: entries are appended one by one and the archive's
// bytes are readable at any moment through data(). Each addition writes the local header, the
// data (raw DEFLATE or stored), then the central directory and end record again after it, so
// the buffer is a complete archive between calls.
//
//   auto archive = Archive::make({}, Archive::AccessMode::create);
//   auto added = archive->addEntry("notes.txt", Archive::EntryType::file, text.size(), now,
//                                  std::nullopt, Archive::CompressionMethod::deflate, 16384, provider);
//   if (added) upload(archive->data());
//
// Only the 32-bit format is written: names of 65,536 bytes or more, a 65,536th entry, and sizes
// or offsets past 32 bits are refused with an error before anything is written. Reading entries
// back is not offered; `read` mode only locates the end record.
//
// Not thread-safe: one owner uses it from one thread at a time. The provider is called on the
// caller's thread, from within addEntry.
#pragma once

#include "util/Result.hpp"
#include "zip/EndOfCentralDirectoryRecord.hpp"
#include "zip/MemoryFile.hpp"
#include "zip/ZipError.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velquor::detail {

class Archive {
public:
    using ArchiveError = detail::ArchiveError;
    enum class AccessMode { create = 0, read = 1, update = 2 };
    enum class EntryType { file = 0, directory = 1, symlink = 2 };
    enum class CompressionMethod : std::uint16_t { none = 0, deflate = 8 };
    // The `size` bytes of the entry starting at `position`, or the provider's failure.
    using Provider =
        std::function<Result<std::vector<std::uint8_t>, ZipError>(std::uint64_t position, std::size_t size)>;

    // `create` starts an empty archive (22 bytes: an empty end record); any bytes given are not
    // kept, as a file opened for writing is truncated. `read` and `update` open a copy of `data`
    // and yield nothing when no end record can be located in it.
    static std::optional<Archive> make(std::vector<std::uint8_t> data, AccessMode accessMode,
                                       std::optional<std::string> preferredEncoding = std::nullopt);

    // Appends one entry whose data is the provider's `uncompressedSize` bytes, read in chunks of
    // `bufferSize` (at least 1) and, for `deflate`, compressed through buffers of that size. The
    // default permissions are 0644 for files and links, 0755 for directories. Links and directories
    // are always stored (method 0).
    //
    // Fails with unwritableArchive in `read` mode and after an earlier failed addition (the buffer
    // may then hold part of that entry where the directory stood); with invalidEntryPath,
    // invalidCompressionMethod, tooManyEntries or entryTooLarge before touching the buffer; with
    // invalidStartOfCentralDirectoryOffset when the data would push the directory past 32 bits;
    // with a DataError for a stream failure or a provider answer of the wrong length, a
    // CompressionError from the compressor, or the provider's own error.
    Result<std::monostate, ZipError>
    addEntry(std::string_view path, EntryType type, std::uint64_t uncompressedSize,
             std::chrono::system_clock::time_point modificationDate, std::optional<std::uint16_t> permissions,
             CompressionMethod compressionMethod, std::size_t bufferSize, const Provider& provider);

    // The archive's bytes as they stand.
    const std::vector<std::uint8_t>& data() const noexcept { return memoryFile_.data(); }
    const EndOfCentralDirectoryRecord& endOfCentralDirectoryRecord() const noexcept { return endRecord_; }
    AccessMode accessMode() const noexcept { return accessMode_; }
    const std::optional<std::string>& preferredEncoding() const noexcept { return preferredEncoding_; }
    // Always "memory:": there is no file-backed archive.
    static constexpr std::string_view url = "memory:";

private:
    Archive(MemoryFile file, AccessMode accessMode, std::optional<std::string> preferredEncoding,
            EndOfCentralDirectoryRecord endRecord);

    // Writes the entry's data at the current position.
    struct Written {
        std::uint64_t count = 0;
        std::uint32_t crc32 = 0;
    };
    Result<Written, ZipError> writeStored(std::uint64_t size, std::size_t bufferSize,
                                          const Provider& provider);
    Result<Written, ZipError> writeDeflated(std::uint64_t size, std::size_t bufferSize,
                                            const Provider& provider);
    Result<std::monostate, ZipError> appendEntry(std::string_view path, EntryType type, std::uint64_t size,
                                                 std::chrono::system_clock::time_point modificationDate,
                                                 std::optional<std::uint16_t> permissions,
                                                 CompressionMethod compressionMethod, std::size_t bufferSize,
                                                 const Provider& provider);
    bool writeAll(std::span<const std::uint8_t> bytes);

    std::optional<std::string> preferredEncoding_;
    AccessMode accessMode_;
    EndOfCentralDirectoryRecord endRecord_;
    MemoryFile memoryFile_;
    bool damaged_ = false;
};

} // namespace velquor::detail
