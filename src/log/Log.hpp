// The log entry point every unit logs through. A log call never fails, never throws and never
// waits on the network. Once the process platform is resolved, every call makes sure the log key
// exists, and INFO, WARNING and ERROR lines go encrypted to the process log file and to the tap.
//
//   VQ_LOG(LogLevel::info, "Core/LogicLayer", "pair(withPairingKey:completionHandler:)", "Pairing");
#pragma once

#include <velquor/Platform.hpp>
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
void log(const Error& error, LogLevel level, std::string_view file, int line,
         std::string_view function) noexcept;

// Receives every line that reaches the log (INFO, WARNING, ERROR).
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(LogLevel level, const std::string& line) = 0;
};

// Installs the tap: it receives the same plain line that is encrypted into the process log file,
// and also the lines that reach only the tap (logged before the process platform is resolved,
// or inside a LogTapOnly scope). Null removes it. The tap's write() is called on the logging
// thread, possibly from several threads at once; what it throws is dropped. Thread-safe.
void setLogSink(std::shared_ptr<LogSink> sink);

class LogFile;
// The process's log file: "velquorv2.log" in "Documents" under the configured application
// directory, keyed by the process key store. Resolves the process platform. Never destroyed.
// Thread-safe.
LogFile& processLogFile();

struct Platform;
// The log file of `platform`, for reading back and resetting after an upload: the process log
// file when `platform` is the process platform (already resolved, with the same key store and
// application directory), since that is where every line goes; otherwise a new one over
// `platform`'s own "Documents" directory and key store, which receives no lines of its own.
// Never resolves the process platform. Thread-safe.
std::shared_ptr<LogFile> logFileFor(const Platform& platform);

// Lines logged on the thread of these queues' main serial queue carry thread="Main" (as do lines
// logged on the process's initial thread). Only a weak reference is kept. Whoever creates or
// resolves the queues registers them; the log itself never resolves the platform. Thread-safe.
void registerMainQueues(const std::shared_ptr<const DispatchQueues>& queues) noexcept;

// Whether a line logged on the calling thread carries thread="Main" (see registerMainQueues).
bool isLogMainThread() noexcept;

// The error's textual description as the log writes it:
//   Error Domain=VelquorErrorDomain Code=10008 "Device is not paired." UserInfo={...}
std::string describeError(const Error& error);

} // namespace velquor::detail

#define VQ_LOG(level, unit, function, message)                                                               \
    ::velquor::detail::log((message), (level), (unit), __LINE__, (function))
