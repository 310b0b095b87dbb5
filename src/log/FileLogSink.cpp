#include "log/FileLogSink.hpp"

#include <utility>

namespace velquor::detail {

FileLogSink::FileLogSink(std::shared_ptr<LogFile> file, std::shared_ptr<LogSink> tap)
    : file_(std::move(file))
    , tap_(std::move(tap)) {}

void FileLogSink::write(LogLevel level, const std::string& line) noexcept {
    const bool written = level == LogLevel::info || level == LogLevel::warning || level == LogLevel::error;
    if (written && tap_) {
        try {
            tap_->write(level, line);
        } catch (...) {
            // A failing tap must not cost the file its line.
        }
    }
    if (file_)
        file_->append(level, line);
}

void FileLogSink::prepareKey() noexcept {
    if (file_)
        file_->logKey();
}

} // namespace velquor::detail
