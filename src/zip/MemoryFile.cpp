#include "zip/MemoryFile.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>

namespace velquor::detail {

MemoryFile::MemoryFile(std::vector<std::uint8_t> data)
    : data_(std::move(data)) {}

bool MemoryFile::open(std::string_view mode) {
    if (mode.empty())
        return false;
    open_ = true;
    error_ = false;
    writable_ = !(mode.front() == 'r' && mode.back() != '+');
    offset_ = mode.front() == 'a' ? static_cast<std::int64_t>(data_.size()) : 0;
    return true;
}

std::size_t MemoryFile::read(std::span<std::uint8_t> out) {
    if (!open_) {
        error_ = true;
        return 0;
    }
    const auto size = static_cast<std::int64_t>(data_.size());
    if (offset_ >= size)
        return 0;
    const auto count = static_cast<std::size_t>(std::min<std::int64_t>(size - offset_, out.size()));
    std::copy_n(data_.begin() + offset_, count, out.begin());
    offset_ += static_cast<std::int64_t>(count);
    return count;
}

std::size_t MemoryFile::write(std::span<const std::uint8_t> in) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    if (!open_ || !writable_ ||
        static_cast<std::uint64_t>(in.size()) > static_cast<std::uint64_t>(kMax - offset_)) {
        error_ = true;
        return 0;
    }
    const auto position = static_cast<std::size_t>(offset_);
    try {
        if (position > data_.size())
            data_.resize(position, 0);
        else if (position + in.size() > data_.size())
            data_.resize(position);
        if (position == data_.size())
            data_.insert(data_.end(), in.begin(), in.end());
        else
            std::copy(in.begin(), in.end(), data_.begin() + offset_);
    } catch (const std::bad_alloc&) {
        error_ = true;
        return 0;
    } catch (const std::length_error&) {
        error_ = true;
        return 0;
    }
    offset_ += static_cast<std::int64_t>(in.size());
    return in.size();
}

bool MemoryFile::seek(std::int64_t offset, Origin origin) {
    std::int64_t base = 0;
    if (origin == Origin::current)
        base = offset_;
    else if (origin == Origin::end)
        base = static_cast<std::int64_t>(data_.size());
    std::int64_t target = 0;
    if (__builtin_add_overflow(base, offset, &target) || target < 0)
        return false;
    offset_ = target;
    return true;
}

} // namespace velquor::detail
