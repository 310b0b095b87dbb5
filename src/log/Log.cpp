// The log entry point. Lines go to the installed sink; until one is installed they are kept in a
// bounded memory buffer. Nothing here may throw or fail towards the caller.
#include "log/Log.hpp"

#include "log/MemoryLogSink.hpp"
#include "util/Utf8.hpp"

#include <chrono>
#include <ctime>
#include <mutex>
#include <vector>

#include <unistd.h>

namespace velquor::detail {
namespace {

// Process-wide log state. Allocated once and never destroyed, so threads that still log while
// the process runs its static destructors find it intact.
struct LogState {
    std::mutex mutex;
    std::shared_ptr<LogSink> defaultSink = std::make_shared<MemoryLogSink>();
    std::shared_ptr<LogSink> sink;
    std::vector<std::weak_ptr<const DispatchQueues>> mainQueues;
};

LogState& state() {
    static LogState* instance = new LogState;
    return *instance;
}

const char* levelName(LogLevel level) {
    switch (level) {
    case LogLevel::debug:
        return "DEBUG";
    case LogLevel::info:
        return "INFO";
    case LogLevel::warning:
        return "WARNING";
    case LogLevel::error:
        return "ERROR";
    default:
        return "VERBOSE";
    }
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

std::string timestamp() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char date[32];
    char zone[8];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local);
    char text[48];
    std::snprintf(text, sizeof text, "%s.%03d%s", date, static_cast<int>(millis), zone);
    return text;
}

std::string_view lastPathComponent(std::string_view path) {
    auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void item(std::string& line, const char* name, std::string_view value) {
    line += ' ';
    line += name;
    line += "=\"";
    line += value;
    line += '"';
}

// The plain line: "[Velquor]", then the named items and the message in their fixed order.
std::string buildLine(std::string_view message, LogLevel level, std::string_view file, int lineNumber,
                      std::string_view function, bool mainThread) {
    std::string line = "[Velquor]";
    item(line, "time", timestamp());
    item(line, "logLevel", levelName(level));
    line += ' ';
    line += sanitizeUtf8(message);
    item(line, "file", sanitizeUtf8(lastPathComponent(file)));
    item(line, "method", sanitizeUtf8(function));
    item(line, "line", std::to_string(lineNumber));
    item(line, "thread", mainThread ? "Main" : "Background");
    return line;
}

} // namespace

void log(std::string_view message, LogLevel level, std::string_view file, int line,
         std::string_view function) noexcept {
    if (!isWritten(level))
        return;
    try {
        LogState& s = state();
        std::string text = buildLine(message, level, file, line, function, onMainThread(s));
        std::shared_ptr<LogSink> sink;
        {
            std::lock_guard lock(s.mutex);
            sink = s.sink ? s.sink : s.defaultSink;
        }
        sink->write(level, text);
    } catch (...) {
        // A log call never fails: the line is lost.
    }
}

void log(const Error& error, LogLevel level, std::string_view file, int line,
         std::string_view function) noexcept {
    if (!isWritten(level))
        return;
    try {
        log(describeError(error), level, file, line, function);
    } catch (...) {
    }
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
    s.sink = std::move(sink);
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
