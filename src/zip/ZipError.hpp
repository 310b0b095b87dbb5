// The errors the ZIP writer raises, grouped as the archive code reports them: the archive's own
// refusals, stream failures, compressor failures, and whatever the entry's data provider failed
// with (passed through unchanged).
//
//   auto added = archive.addEntry(...);
//   if (!added) std::cerr << describe(added.error());
//
// Plain values; thread-safe to copy and compare.
#pragma once

#include <string>
#include <variant>

namespace velquor::detail {

// In declaration order; the last two cases were added for the limits of the 32-bit format.
enum class ArchiveError {
    unreadableArchive,
    unwritableArchive,
    invalidEntryPath, // empty, or a name of 65,536 bytes or more
    invalidCompressionMethod,
    invalidStartOfCentralDirectoryOffset, // the central directory would start past 32 bits
    missingEndOfCentralDirectoryRecord,
    cancelledOperation,
    tooManyEntries, // a 65,536th entry: the counts are 16 bits
    entryTooLarge,  // a size, or the central directory's size, past 32 bits
};

enum class DataError {
    unreadableFile, // a stream read or seek failed, or the provider gave the wrong byte count
    unwritableFile, // a stream write or seek failed
};

enum class CompressionError {
    invalidStream, // the compressor could not be set up
    corruptedData, // the compressor reported an error while working
};

// The provider's own failure, carried through addEntry as it was given.
struct ProviderError {
    std::string message;
    bool operator==(const ProviderError&) const = default;
};

using ZipError = std::variant<ArchiveError, DataError, CompressionError, ProviderError>;

// "Archive.ArchiveError.tooManyEntries", "Data.DataError.unwritableFile", or the provider's message.
std::string describe(const ZipError& error);

} // namespace velquor::detail
