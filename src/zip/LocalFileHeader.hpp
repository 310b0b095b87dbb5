// The local file header that precedes each entry's data: 30 fixed bytes, then the name (the
// extra field is always empty here). The writer emits it twice per entry, first with CRC and
// compressed size 0, then again in place with the real values, so it never needs a data
// descriptor.
//
// A plain value; thread-safe to copy.
#pragma once

#include <cstdint>
#include <vector>

namespace velquor::detail {

class LocalFileHeader {
public:
    static constexpr std::uint32_t signature = 0x04034b50;
    static constexpr std::size_t fixedSize = 30;

    std::uint16_t versionNeededToExtract = 20;
    std::uint16_t generalPurposeBitFlag = 0x0800; // bit 11: the name is UTF-8
    std::uint16_t compressionMethod = 0;
    std::uint16_t lastModFileTime = 0;
    std::uint16_t lastModFileDate = 0;
    std::uint32_t crc32 = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t uncompressedSize = 0;
    std::vector<std::uint8_t> fileNameData; // fewer than 65,536 bytes (the writer checks)

    // fixedSize + name length bytes, little-endian, signature first.
    std::vector<std::uint8_t> data() const;
};

} // namespace velquor::detail
