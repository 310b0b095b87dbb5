// While one exists on a thread, every line that thread logs goes to the tap only: it neither
// reaches the log file nor makes the log key, so code that the process log itself depends on
// (resolving the platform, making the process DataManager, building or writing a line) can log
// without recursing into the log or waiting on itself.
//
//   const LogTapOnly tapOnly; // lines logged while the DataManager is made reach only the tap
//
// Scopes nest. Not shared between threads (each thread has its own count); no callbacks.
#pragma once

namespace velquor::detail {

class LogTapOnly {
public:
    LogTapOnly() noexcept;
    ~LogTapOnly();
    LogTapOnly(const LogTapOnly&) = delete;
    LogTapOnly& operator=(const LogTapOnly&) = delete;

    // Whether a scope is open on the calling thread.
    static bool active() noexcept;
};

} // namespace velquor::detail
