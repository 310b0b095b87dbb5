#include "zip/EndOfCentralDirectoryRecord.hpp"

#include "zip/LittleEndian.hpp"

#include <algorithm>

namespace velquor::detail {

std::vector<std::uint8_t> EndOfCentralDirectoryRecord::data() const {
    std::vector<std::uint8_t> out;
    out.reserve(fixedSize + zipFileCommentData.size());
    le::put32(out, signature);
    le::put16(out, numberOfDisk);
    le::put16(out, numberOfDiskStart);
    le::put16(out, totalNumberOfEntriesOnDisk);
    le::put16(out, totalNumberOfEntriesInCentralDirectory);
    le::put32(out, sizeOfCentralDirectory);
    le::put32(out, offsetToStartOfCentralDirectory);
    le::put16(out, static_cast<std::uint16_t>(zipFileCommentData.size()));
    out.insert(out.end(), zipFileCommentData.begin(), zipFileCommentData.end());
    return out;
}

std::optional<EndOfCentralDirectoryRecord>
EndOfCentralDirectoryRecord::locate(std::span<const std::uint8_t> buffer) {
    const std::size_t length = buffer.size();
    if (length < fixedSize)
        return std::nullopt;
    const std::size_t farthest = std::min(maximumDistanceFromEnd, length);
    for (std::size_t distance = fixedSize; distance <= farthest; ++distance) {
        const std::size_t at = length - distance;
        if (le::get32(buffer, at) != signature)
            continue;
        EndOfCentralDirectoryRecord record;
        record.numberOfDisk = le::get16(buffer, at + 4);
        record.numberOfDiskStart = le::get16(buffer, at + 6);
        record.totalNumberOfEntriesOnDisk = le::get16(buffer, at + 8);
        record.totalNumberOfEntriesInCentralDirectory = le::get16(buffer, at + 10);
        record.sizeOfCentralDirectory = le::get32(buffer, at + 12);
        record.offsetToStartOfCentralDirectory = le::get32(buffer, at + 16);
        const std::size_t commentLength = le::get16(buffer, at + 20);
        if (commentLength > distance - fixedSize)
            return std::nullopt;
        const auto comment = buffer.subspan(at + fixedSize, commentLength);
        record.zipFileCommentData.assign(comment.begin(), comment.end());
        return record;
    }
    return std::nullopt;
}

} // namespace velquor::detail
