#include "zip/LocalFileHeader.hpp"

#include "zip/LittleEndian.hpp"

namespace velquor::detail {

std::vector<std::uint8_t> LocalFileHeader::data() const {
    std::vector<std::uint8_t> out;
    out.reserve(fixedSize + fileNameData.size());
    le::put32(out, signature);
    le::put16(out, versionNeededToExtract);
    le::put16(out, generalPurposeBitFlag);
    le::put16(out, compressionMethod);
    le::put16(out, lastModFileTime);
    le::put16(out, lastModFileDate);
    le::put32(out, crc32);
    le::put32(out, compressedSize);
    le::put32(out, uncompressedSize);
    le::put16(out, static_cast<std::uint16_t>(fileNameData.size()));
    le::put16(out, 0); // extra field length
    out.insert(out.end(), fileNameData.begin(), fileNameData.end());
    return out;
}

} // namespace velquor::detail
