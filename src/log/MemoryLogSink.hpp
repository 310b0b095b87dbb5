// A log sink that keeps the most recent lines in memory. The library's default sink until the
// encrypted log file takes over; tests install one to read what was logged.
//
// Thread-safe: write() and the readers may run on any threads at the same time.
#pragma once

#include "log/Log.hpp"

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::detail {

class MemoryLogSink : public LogSink {
public:
    // Keeps at most `capacity` lines; the oldest go first.
    explicit MemoryLogSink(std::size_t capacity = 2000);

    void write(LogLevel level, const std::string& line) override;

    std::vector<std::string> lines() const;
    // Number of kept lines that contain `text`.
    std::size_t count(std::string_view text) const;
    bool contains(std::string_view text) const { return count(text) > 0; }
    void clear();

private:
    std::size_t capacity_;
    mutable std::mutex mutex_;
    std::deque<std::string> lines_;
};

} // namespace velquor::detail
