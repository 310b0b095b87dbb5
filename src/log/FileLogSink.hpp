// Adapts the encrypted log file to the entry point's sink interface, with a tap that sees every
// plain line that goes into the file (for tests and host diagnostics).
//
//   auto sink = std::make_shared<FileLogSink>(logFile, std::make_shared<MemoryLogSink>());
//   setLogSink(sink);
//
// Thread-safe: write() may run on several threads at once; the tap's write() is called on the
// logging thread, before the line is encrypted, possibly from several threads at once.
#pragma once

#include "log/Log.hpp"
#include "log/LogFile.hpp"

#include <memory>
#include <string>

namespace velquor::detail {

class FileLogSink final : public LogSink {
public:
    // `tap` may be null.
    explicit FileLogSink(std::shared_ptr<LogFile> file, std::shared_ptr<LogSink> tap = nullptr);

    // INFO, WARNING and ERROR lines go to the tap and then, encrypted, to the file; every level
    // makes sure the log key exists. Never throws.
    void write(LogLevel level, const std::string& line) noexcept override;

    // The key step alone, for calls whose level keeps them out of the file altogether.
    void prepareKey() noexcept;

private:
    std::shared_ptr<LogFile> file_;
    std::shared_ptr<LogSink> tap_;
};

} // namespace velquor::detail
