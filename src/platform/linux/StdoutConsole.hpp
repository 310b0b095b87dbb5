// The console: lines on the process's standard output.
#pragma once

#include <velquor/Platform.hpp>

#include <mutex>
#include <string>

namespace velquor::detail {

// Thread-safe: each line is written whole (never interleaved with another of this class) and
// flushed at once. Write errors are ignored.
class StdoutConsole final : public Console {
public:
    void writeLine(const std::string& line) override;

private:
    std::mutex mutex_;
};

} // namespace velquor::detail
