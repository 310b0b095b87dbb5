// The log entry point every unit logs through. A log call never fails and never throws.
//
//   VQ_LOG(LogLevel::info, "Core/LogicLayer", "pair(withPairingKey:completionHandler:)", "Pairing");
#pragma once

#include <velquor/Velquor.hpp>

#include <memory>
#include <string>
#include <string_view>

namespace velquor::detail {

enum class LogLevel : int { verbose = 0, debug = 1, info = 2, warning = 3, error = 4 };

// `file` is the caller's source unit (only its last path component is written), `function` the
// operation's name as the log shows it. Text that is not valid UTF-8 is written with U+FFFD.
void log(std::string_view message, LogLevel level, std::string_view file, int line,
         std::string_view function) noexcept;
// Logs the error's textual description.
void log(const Error& error, LogLevel level, std::string_view file, int line, std::string_view function) noexcept;

// Receives every line that reaches the log (INFO, WARNING, ERROR).
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(LogLevel level, const std::string& line) = 0;
};

// Replaces where lines go; null restores the default. Thread-safe.
void setLogSink(std::shared_ptr<LogSink> sink);

} // namespace velquor::detail

#define VQ_LOG(level, unit, function, message) ::velquor::detail::log((message), (level), (unit), __LINE__, (function))
