// One entry's record in the central directory: 46 fixed bytes, then the name (extra field and
// comment are always empty here). Built from the entry's final local header, so both carry the
// same CRC, sizes, method, date and flags.
//
// A plain value; thread-safe to copy.
#pragma once

#include "zip/LocalFileHeader.hpp"

#include <cstdint>
#include <vector>

namespace velquor::detail {

class CentralDirectoryStructure {
public:
    static constexpr std::uint32_t signature = 0x02014b50;
    static constexpr std::size_t fixedSize = 46;

    // Copies the shared fields from `header`; version made by 0x0315 (UNIX, 2.1).
    CentralDirectoryStructure(const LocalFileHeader& header, std::uint32_t externalFileAttributes,
                              std::uint32_t relativeOffsetOfLocalHeader);

    std::uint16_t versionMadeBy = 0x0315;
    std::uint16_t diskNumberStart = 0;
    std::uint16_t internalFileAttributes = 0;
    std::uint32_t externalFileAttributes = 0;
    std::uint32_t relativeOffsetOfLocalHeader = 0;
    LocalFileHeader header; // the fields shared with the local header

    std::size_t size() const noexcept { return fixedSize + header.fileNameData.size(); }
    std::vector<std::uint8_t> data() const;
};

} // namespace velquor::detail
