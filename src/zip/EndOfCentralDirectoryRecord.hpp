// The record that closes every archive: 22 fixed bytes and an optional comment. It is the
// archive's only bookkeeping: where the central directory starts, how long it is and how many
// entries it lists. locate() finds it in an existing buffer the way readers do, from the end.
//
// A plain value; thread-safe to copy.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velquor::detail {

class EndOfCentralDirectoryRecord {
public:
    static constexpr std::uint32_t signature = 0x06054b50;
    static constexpr std::size_t fixedSize = 22;
    // The farthest from the end a record can start: fixed part plus the longest comment, and a
    // little slack that readers allow.
    static constexpr std::size_t maximumDistanceFromEnd = 65'999;

    std::uint16_t numberOfDisk = 0;
    std::uint16_t numberOfDiskStart = 0;
    std::uint16_t totalNumberOfEntriesOnDisk = 0;
    std::uint16_t totalNumberOfEntriesInCentralDirectory = 0;
    std::uint32_t sizeOfCentralDirectory = 0;
    std::uint32_t offsetToStartOfCentralDirectory = 0;
    std::vector<std::uint8_t> zipFileCommentData; // fewer than 65,536 bytes

    std::vector<std::uint8_t> data() const;

    // The record at the last position (from the end, 22 to 65,999 bytes back, never before 0)
    // that holds the signature; nothing when no position does, or when the record there is
    // truncated (including its comment). The scan stops at the first signature found.
    static std::optional<EndOfCentralDirectoryRecord> locate(std::span<const std::uint8_t> buffer);
};

} // namespace velquor::detail
