#include "zip/Archive.hpp"

#include "zip/CRC32.hpp"
#include "zip/CentralDirectoryStructure.hpp"
#include "zip/DOSDateTime.hpp"
#include "zip/LocalFileHeader.hpp"

#include <zlib.h>

#include <algorithm>
#include <memory>

namespace velquor::detail {

namespace {

constexpr std::uint64_t kMax32 = 0xFFFFFFFFu;
constexpr std::size_t kMaxNameLength = 0xFFFF;
// zlib counts its buffers in 32-bit units; larger chunks gain nothing.
constexpr std::size_t kMaxBufferSize = std::size_t{1} << 24;

std::uint32_t externalAttributes(Archive::EntryType type, std::optional<std::uint16_t> permissions) {
    std::uint32_t typeBits = 0100000;
    std::uint16_t defaultPermissions = 0644;
    if (type == Archive::EntryType::directory) {
        typeBits = 0040000;
        defaultPermissions = 0755;
    } else if (type == Archive::EntryType::symlink) {
        typeBits = 0120000;
    }
    return (typeBits | permissions.value_or(defaultPermissions)) << 16;
}

struct DeflateEnd {
    void operator()(z_stream* stream) const {
        deflateEnd(stream);
        delete stream;
    }
};
using DeflateStreamPtr = std::unique_ptr<z_stream, DeflateEnd>;

} // namespace

Archive::Archive(MemoryFile file, AccessMode accessMode, std::optional<std::string> preferredEncoding,
                 EndOfCentralDirectoryRecord endRecord)
    : preferredEncoding_(std::move(preferredEncoding))
    , accessMode_(accessMode)
    , endRecord_(std::move(endRecord))
    , memoryFile_(std::move(file)) {}

std::optional<Archive> Archive::make(std::vector<std::uint8_t> data, AccessMode accessMode,
                                     std::optional<std::string> preferredEncoding) {
    const char* mode = accessMode == AccessMode::create ? "wb+"
                       : accessMode == AccessMode::read ? "rb"
                                                        : "rb+";
    if (accessMode == AccessMode::create)
        data.clear();
    MemoryFile file(std::move(data));
    file.open(mode);
    if (accessMode == AccessMode::create) {
        const auto empty = EndOfCentralDirectoryRecord{}.data();
        if (file.write(empty) != empty.size())
            return std::nullopt;
    }
    auto record = EndOfCentralDirectoryRecord::locate(file.data());
    if (!record)
        return std::nullopt;
    return Archive(std::move(file), accessMode, std::move(preferredEncoding), std::move(*record));
}

Result<std::monostate, ZipError> Archive::addEntry(std::string_view path, EntryType type,
                                                   std::uint64_t uncompressedSize,
                                                   std::chrono::system_clock::time_point modificationDate,
                                                   std::optional<std::uint16_t> permissions,
                                                   CompressionMethod compressionMethod,
                                                   std::size_t bufferSize, const Provider& provider) {
    if (accessMode_ == AccessMode::read || damaged_)
        return ZipError{ArchiveError::unwritableArchive};
    if (path.empty() || path.size() > kMaxNameLength)
        return ZipError{ArchiveError::invalidEntryPath};
    if (compressionMethod != CompressionMethod::none && compressionMethod != CompressionMethod::deflate)
        return ZipError{ArchiveError::invalidCompressionMethod};
    if (endRecord_.totalNumberOfEntriesOnDisk == 0xFFFF ||
        endRecord_.totalNumberOfEntriesInCentralDirectory == 0xFFFF)
        return ZipError{ArchiveError::tooManyEntries};
    const std::uint64_t directorySize =
        std::uint64_t{endRecord_.sizeOfCentralDirectory} + CentralDirectoryStructure::fixedSize + path.size();
    if (uncompressedSize > kMax32 || directorySize > kMax32)
        return ZipError{ArchiveError::entryTooLarge};

    // Links and directories are always stored, so the method in their headers matches their data.
    const auto method = type == EntryType::file ? compressionMethod : CompressionMethod::none;
    auto added =
        appendEntry(path, type, type == EntryType::directory ? 0 : uncompressedSize, modificationDate,
                    permissions, method, std::clamp<std::size_t>(bufferSize, 1, kMaxBufferSize), provider);
    // The stream lives in memory; flushing it can only report an earlier error.
    const bool flushed = memoryFile_.flush();
    if (added && !flushed)
        return ZipError{DataError::unwritableFile};
    return added;
}

Result<std::monostate, ZipError> Archive::appendEntry(std::string_view path, EntryType type,
                                                      std::uint64_t size,
                                                      std::chrono::system_clock::time_point modificationDate,
                                                      std::optional<std::uint16_t> permissions,
                                                      CompressionMethod compressionMethod,
                                                      std::size_t bufferSize, const Provider& provider) {
    // The existing central directory is read back so it can be written again after the new data.
    const std::int64_t start = endRecord_.offsetToStartOfCentralDirectory;
    std::vector<std::uint8_t> directory(endRecord_.sizeOfCentralDirectory);
    if (!memoryFile_.seek(start, MemoryFile::Origin::start) ||
        memoryFile_.read(directory) != directory.size() ||
        !memoryFile_.seek(start, MemoryFile::Origin::start))
        return ZipError{DataError::unreadableFile};

    // From here on the buffer changes; a failure leaves a partial entry where the directory was.
    damaged_ = true;
    const auto stamp = DOSDateTime::from(modificationDate);
    LocalFileHeader header;
    header.compressionMethod = static_cast<std::uint16_t>(compressionMethod);
    header.lastModFileTime = stamp.time;
    header.lastModFileDate = stamp.date;
    header.uncompressedSize = static_cast<std::uint32_t>(size);
    header.fileNameData.assign(path.begin(), path.end());
    if (!writeAll(header.data()))
        return ZipError{DataError::unwritableFile};

    Result<Written, ZipError> written = Written{};
    if (type != EntryType::directory)
        written = compressionMethod == CompressionMethod::deflate ? writeDeflated(size, bufferSize, provider)
                                                                  : writeStored(size, bufferSize, provider);
    if (!written)
        return written.error();

    const std::int64_t end = memoryFile_.tell();
    if (static_cast<std::uint64_t>(end) > kMax32)
        return ZipError{ArchiveError::invalidStartOfCentralDirectoryOffset};
    header.crc32 = written->crc32;
    header.compressedSize = static_cast<std::uint32_t>(written->count);
    if (!memoryFile_.seek(start, MemoryFile::Origin::start) || !writeAll(header.data()) ||
        !memoryFile_.seek(end, MemoryFile::Origin::start) || !writeAll(directory))
        return ZipError{DataError::unwritableFile};

    const CentralDirectoryStructure structure(header, externalAttributes(type, permissions),
                                              static_cast<std::uint32_t>(start));
    auto record = endRecord_;
    ++record.totalNumberOfEntriesOnDisk;
    ++record.totalNumberOfEntriesInCentralDirectory;
    record.sizeOfCentralDirectory += static_cast<std::uint32_t>(structure.size());
    record.offsetToStartOfCentralDirectory = static_cast<std::uint32_t>(end);
    if (!writeAll(structure.data()) || !writeAll(record.data()))
        return ZipError{DataError::unwritableFile};
    endRecord_ = std::move(record);
    damaged_ = false;
    return std::monostate{};
}

bool Archive::writeAll(std::span<const std::uint8_t> bytes) {
    return memoryFile_.write(bytes) == bytes.size() && !memoryFile_.error();
}

Result<Archive::Written, ZipError> Archive::writeStored(std::uint64_t size, std::size_t bufferSize,
                                                        const Provider& provider) {
    Written written;
    for (std::uint64_t position = 0; position < size;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(bufferSize, size - position));
        auto chunk = provider(position, want);
        if (!chunk)
            return chunk.error();
        if (chunk->size() != want)
            return ZipError{DataError::unreadableFile};
        written.crc32 = CRC32::update(written.crc32, chunk.value());
        if (!writeAll(chunk.value()))
            return ZipError{DataError::unwritableFile};
        position += want;
        written.count += want;
    }
    return written;
}

Result<Archive::Written, ZipError> Archive::writeDeflated(std::uint64_t size, std::size_t bufferSize,
                                                          const Provider& provider) {
    auto* raw = new z_stream{};
    // Negative window bits: raw DEFLATE, without the zlib header and trailer that ZIP forbids.
    if (deflateInit2(raw, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        delete raw;
        return ZipError{CompressionError::invalidStream};
    }
    const DeflateStreamPtr stream(raw);
    std::vector<std::uint8_t> output(bufferSize);
    Written written;
    std::uint64_t position = 0;
    for (bool finished = false; !finished;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(bufferSize, size - position));
        std::vector<std::uint8_t> chunk;
        if (want > 0) {
            auto provided = provider(position, want);
            if (!provided)
                return provided.error();
            if (provided->size() != want)
                return ZipError{DataError::unreadableFile};
            chunk = std::move(provided).value();
        }
        written.crc32 = CRC32::update(written.crc32, chunk);
        position += want;
        // The first short chunk (empty when the size is a multiple of the buffer) ends the input.
        const bool last = want < bufferSize;
        stream->next_in = chunk.data();
        stream->avail_in = static_cast<uInt>(want);
        for (;;) {
            stream->next_out = output.data();
            stream->avail_out = static_cast<uInt>(output.size());
            const int rc = deflate(stream.get(), last ? Z_FINISH : Z_NO_FLUSH);
            const std::size_t produced = output.size() - stream->avail_out;
            if (rc != Z_OK && rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && !last))
                return ZipError{CompressionError::corruptedData};
            if (!writeAll(std::span(output).first(produced)))
                return ZipError{DataError::unwritableFile};
            written.count += produced;
            if (rc == Z_STREAM_END) {
                finished = true;
                break;
            }
            if (!last && stream->avail_out != 0)
                break;
        }
    }
    return written;
}

} // namespace velquor::detail
