#include "log/MemoryLogSink.hpp"

namespace velquor::detail {

MemoryLogSink::MemoryLogSink(std::size_t capacity)
    : capacity_(capacity == 0 ? 1 : capacity) {}

void MemoryLogSink::write(LogLevel, const std::string& line) {
    std::lock_guard lock(mutex_);
    if (lines_.size() >= capacity_)
        lines_.pop_front();
    lines_.push_back(line);
}

std::vector<std::string> MemoryLogSink::lines() const {
    std::lock_guard lock(mutex_);
    return {lines_.begin(), lines_.end()};
}

std::size_t MemoryLogSink::count(std::string_view text) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& line : lines_)
        if (line.find(text) != std::string::npos)
            ++n;
    return n;
}

void MemoryLogSink::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

} // namespace velquor::detail
