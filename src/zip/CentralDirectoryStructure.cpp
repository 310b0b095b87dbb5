#include "zip/CentralDirectoryStructure.hpp"

#include "zip/LittleEndian.hpp"

namespace velquor::detail {

CentralDirectoryStructure::CentralDirectoryStructure(const LocalFileHeader& header,
                                                     std::uint32_t externalFileAttributes,
                                                     std::uint32_t relativeOffsetOfLocalHeader)
    : externalFileAttributes(externalFileAttributes)
    , relativeOffsetOfLocalHeader(relativeOffsetOfLocalHeader)
    , header(header) {}

std::vector<std::uint8_t> CentralDirectoryStructure::data() const {
    std::vector<std::uint8_t> out;
    out.reserve(size());
    le::put32(out, signature);
    le::put16(out, versionMadeBy);
    le::put16(out, header.versionNeededToExtract);
    le::put16(out, header.generalPurposeBitFlag);
    le::put16(out, header.compressionMethod);
    le::put16(out, header.lastModFileTime);
    le::put16(out, header.lastModFileDate);
    le::put32(out, header.crc32);
    le::put32(out, header.compressedSize);
    le::put32(out, header.uncompressedSize);
    le::put16(out, static_cast<std::uint16_t>(header.fileNameData.size()));
    le::put16(out, 0); // extra field length
    le::put16(out, 0); // file comment length
    le::put16(out, diskNumberStart);
    le::put16(out, internalFileAttributes);
    le::put32(out, externalFileAttributes);
    le::put32(out, relativeOffsetOfLocalHeader);
    out.insert(out.end(), header.fileNameData.begin(), header.fileNameData.end());
    return out;
}

} // namespace velquor::detail
