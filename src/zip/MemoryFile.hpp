// A growable byte buffer read and written like a file: the archive writer's only storage. The
// position is a signed offset that may sit past the end (a write there zero-fills the gap) but
// never before the start: a seek that would land before 0 fails and leaves the position alone,
// so nothing ever indexes before the buffer.
//
//   MemoryFile file;
//   file.open("wb+");
//   file.write(bytes);
//   file.seek(0, MemoryFile::Origin::start);
//
// Not thread-safe: one owner (an Archive) uses it from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace velquor::detail {

class MemoryFile {
public:
    enum class Origin { start, current, end };

    explicit MemoryFile(std::vector<std::uint8_t> data = {});

    // Starts a stream over the buffer. Writable unless the mode begins with "r" and does not end
    // with "+"; a mode beginning with "a" positions at the end, any other at 0. The data is kept
    // as it is (no mode truncates). False, with nothing changed, for an empty mode.
    bool open(std::string_view mode);

    // Copies min(out.size(), length - position) bytes (none at or past the end) and advances by
    // that count. Sets the error flag when the stream is not open.
    std::size_t read(std::span<std::uint8_t> out);

    // Zero-fills up to the position if it is past the end; a write starting inside the data that
    // would run past its end first drops everything from the position on; then the bytes replace
    // what they cover or are appended. Returns in.size(), or 0 with the error flag set when the
    // stream is not open or not writable, or the buffer cannot grow that far.
    std::size_t write(std::span<const std::uint8_t> in);

    // False, position unchanged, when the new position would be negative or overflow.
    bool seek(std::int64_t offset, Origin origin);
    std::int64_t tell() const noexcept { return offset_; }
    // The bytes live in memory, so there is nothing to push out; false only after an error.
    bool flush() const noexcept { return !error_; }
    bool error() const noexcept { return error_; }

    const std::vector<std::uint8_t>& data() const noexcept { return data_; }

private:
    std::vector<std::uint8_t> data_;
    std::int64_t offset_ = 0;
    bool open_ = false;
    bool writable_ = false;
    bool error_ = false;
};

} // namespace velquor::detail
