// The log entry point. Before the process platform is resolved, and inside a LogTapOnly scope,
// lines reach only the tap; afterwards they also go, encrypted, to the process log file. Nothing
// here may throw or fail towards the caller.
#include "log/Log.hpp"

#include "log/FileLogSink.hpp"
#include "log/LogFile.hpp"
#include "log/LogLine.hpp"
#include "log/LogTapOnly.hpp"
#include "platform/PlatformContext.hpp"

#include <mutex>
#include <vector>

#include <unistd.h>

namespace velquor::detail {
namespace {

// Process-wide log state. Allocated once and never destroyed, so threads that still log while
// the process runs its static destructors find it intact.
struct LogState {
    std::mutex mutex;
    std::shared_ptr<LogSink> tap;
    std::vector<std::weak_ptr<const DispatchQueues>> mainQueues;
};

LogState& state() {
    static LogState* instance = new LogState;
    return *instance;
}

bool isWritten(LogLevel level) {
    return level == LogLevel::info || level == LogLevel::warning || level == LogLevel::error;
}

bool onMainThread(LogState& s) {
    if (::gettid() == ::getpid())
        return true;
    std::vector<std::shared_ptr<const DispatchQueues>> queues;
    {
        std::lock_guard lock(s.mutex);
        for (const auto& weak : s.mainQueues)
            if (auto queue = weak.lock())
                queues.push_back(std::move(queue));
    }
    for (const auto& queue : queues)
        if (queue->isMainQueueThread())
            return true;
    return false;
}

std::shared_ptr<LogSink> installedTap() {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    return s.tap;
}

// Hands a line to whatever tap is installed when the line is written.
class CurrentTap final : public LogSink {
public:
    void write(LogLevel level, const std::string& line) override {
        if (auto tap = installedTap())
            tap->write(level, line);
    }
};

// The process log over the process platform: the file, the line with its identifiers and
// versions read straight from the platform's services, and the sink that joins them to the tap.
struct ProcessLog {
    std::shared_ptr<LogFile> file;
    LogLine line;
    FileLogSink sink;
};

std::filesystem::path documentsOf(const ResolvedConfiguration& configuration) {
    if (configuration.applicationDirectory.empty())
        return {};
    return configuration.applicationDirectory / "Documents";
}

LogLine::Collaborators lineCollaborators(const PlatformServices& services) {
    LogLine::Collaborators collaborators;
    collaborators.keyStore = services.keyStore;
    collaborators.bundle = services.bundle;
    collaborators.deviceFacts = services.deviceFacts;
    return collaborators;
}

ProcessLog& processLog() {
    // Never destroyed: threads may log until the process has ended.
    static ProcessLog* const instance = [] {
        const LogTapOnly tapOnly; // what making it logs must not come back here
        const Platform& platform = PlatformContext::get();
        const PlatformServices& services = platform.services;
        auto file = std::make_shared<LogFile>(
            LogFile::Collaborators{documentsOf(platform.configuration), services.keyStore, services.console});
        return new ProcessLog{file, LogLine(lineCollaborators(services)),
                              FileLogSink(file, std::make_shared<CurrentTap>())};
    }();
    return *instance;
}

} // namespace

void log(std::string_view message, LogLevel level, std::string_view file, int line,
         std::string_view function) noexcept {
    try {
        if (LogTapOnly::active() || !PlatformContext::isResolved()) {
            // A line only the tap would see is not built while there is none.
            if (isWritten(level))
                if (auto tap = installedTap())
                    tap->write(level, LogLine({}).build(message, level, file, line, function));
            return;
        }
        // Reading the key store or the device facts for the line, or writing it, may log: those
        // lines reach the tap only.
        const LogTapOnly tapOnly;
        ProcessLog& process = processLog();
        if (!isWritten(level)) {
            process.sink.prepareKey();
            return;
        }
        process.sink.write(level, process.line.build(message, level, file, line, function));
    } catch (...) {
        // A log call never fails: the line is lost.
    }
}

void log(const Error& error, LogLevel level, std::string_view file, int line,
         std::string_view function) noexcept {
    try {
        // Every call counts for the log key, whatever its level; only a written line is described.
        log(isWritten(level) ? describeError(error) : std::string(), level, file, line, function);
    } catch (...) {
    }
}

LogFile& processLogFile() {
    return *processLog().file;
}

std::shared_ptr<LogFile> logFileFor(const Platform& platform) {
    if (PlatformContext::isResolved()) {
        const Platform& process = PlatformContext::get();
        if (process.services.keyStore == platform.services.keyStore &&
            documentsOf(process.configuration) == documentsOf(platform.configuration))
            return processLog().file;
    }
    const PlatformServices& services = platform.services;
    return std::make_shared<LogFile>(
        LogFile::Collaborators{documentsOf(platform.configuration), services.keyStore, services.console});
}

bool isLogMainThread() noexcept {
    try {
        return onMainThread(state());
    } catch (...) {
        return false;
    }
}

std::string describeError(const Error& error) {
    return "Error Domain=" + error.domain() + " Code=" + std::to_string(error.code()) + " \"" +
           error.localizedDescription() +
           "\" UserInfo=" + error.userInfo().dump(-1, ' ', false, Json::error_handler_t::replace);
}

void setLogSink(std::shared_ptr<LogSink> sink) {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    s.tap = std::move(sink);
}

void registerMainQueues(const std::shared_ptr<const DispatchQueues>& queues) noexcept {
    if (!queues)
        return;
    try {
        LogState& s = state();
        std::lock_guard lock(s.mutex);
        std::erase_if(s.mainQueues, [&](const auto& weak) {
            auto existing = weak.lock();
            return !existing || existing == queues;
        });
        s.mainQueues.push_back(queues);
    } catch (...) {
    }
}

} // namespace velquor::detail
