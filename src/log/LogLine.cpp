// The plain log line. The time item uses the OS time-zone database through date/tz; the process's
// TZ is never touched, so other code reading local time is unaffected.
#include "log/LogLine.hpp"

#include "state/ItemNames.hpp"
#include "util/Utf8.hpp"

#include <velquor_build/BuildConstants.hpp>

#include <date/tz.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <optional>
#include <vector>

namespace velquor::detail {
namespace {

// Null when neither the Mountain zone nor the system zone can be found: the time is then UTC.
const date::time_zone* mountainZone() {
    static const date::time_zone* const zone = []() -> const date::time_zone* {
        try {
            return date::locate_zone("America/Denver");
        } catch (const std::exception&) {
        }
        try {
            return date::current_zone();
        } catch (const std::exception&) {
        }
        return nullptr;
    }();
    return zone;
}

// The offset period that holds the last instant written. Kept apart from the time-zone database,
// which is destroyed at process exit, so a thread that logs during exit reaches the database only
// when its instant leaves the period (twice a year). Never destroyed.
struct OffsetPeriod {
    std::mutex mutex;
    date::sys_seconds begin = date::sys_seconds::max();
    date::sys_seconds end = date::sys_seconds::min();
    std::chrono::seconds offset{0};
};

std::chrono::seconds mountainOffset(date::sys_seconds instant) {
    static OffsetPeriod* const period = new OffsetPeriod;
    std::lock_guard lock(period->mutex);
    if (instant < period->begin || instant >= period->end) {
        const date::time_zone* zone = mountainZone();
        if (!zone)
            return std::chrono::seconds(0);
        date::sys_info info = zone->get_info(instant);
        period->begin = info.begin;
        period->end = info.end;
        period->offset = info.offset;
    }
    return period->offset;
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

std::string versionText(const std::optional<std::string>& shortVersion,
                        const std::optional<std::string>& build) {
    if (!shortVersion || !build)
        return "";
    return sanitizeUtf8(*shortVersion) + "(" + sanitizeUtf8(*build) + ")";
}

} // namespace

LogLine::LogLine(Collaborators collaborators)
    : collaborators_(std::move(collaborators)) {}

std::string LogLine::formatTime(std::chrono::system_clock::time_point time) {
    const auto millis = std::chrono::floor<std::chrono::milliseconds>(time);
    std::chrono::seconds offset(0);
    try {
        offset = mountainOffset(std::chrono::floor<std::chrono::seconds>(millis));
    } catch (const std::exception&) {
        // An instant the zone cannot express: written in UTC.
    }
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(offset).count();
    char zone[8];
    std::snprintf(zone, sizeof zone, "%c%02d%02d", minutes < 0 ? '-' : '+',
                  static_cast<int>(std::abs(minutes) / 60), static_cast<int>(std::abs(minutes) % 60));
    return date::format("%F %T", millis + offset) + zone;
}

const char* LogLine::levelName(LogLevel level) {
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

std::string LogLine::secureItem(std::string_view name) const {
    if (!collaborators_.keyStore)
        return "";
    const std::string item(name);
    std::vector<std::uint8_t> data;
    if (collaborators_.keyStore->copyPassword(item, item, data) != kKeyStoreSuccess)
        return "";
    return sanitizeUtf8(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

std::string LogLine::bundleVersion() const {
    if (!collaborators_.bundle)
        return "";
    return versionText(collaborators_.bundle->mainBundleValue("CFBundleShortVersionString"),
                       collaborators_.bundle->mainBundleValue("CFBundleVersion"));
}

std::string LogLine::build(std::string_view message, LogLevel level, std::string_view file, int line,
                           std::string_view function) const {
    const auto now = collaborators_.now ? collaborators_.now() : std::chrono::system_clock::now();
    const bool mainThread = collaborators_.isMainThread ? collaborators_.isMainThread() : isLogMainThread();
    const DeviceFacts* facts = collaborators_.deviceFacts.get();
    std::optional<std::string> bundleID;
    if (collaborators_.bundle)
        bundleID = collaborators_.bundle->mainBundleValue("CFBundleIdentifier");
    std::optional<std::string> osVersion = facts ? facts->systemVersion() : std::nullopt;
    std::optional<std::string> model = facts ? facts->modelIdentifier() : std::nullopt;

    std::string text = "[Velquor]";
    text.reserve(512 + message.size());
    item(text, "time", formatTime(now));
    item(text, "logLevel", levelName(level));
    text += ' ';
    text += sanitizeUtf8(message);
    item(text, "file", sanitizeUtf8(lastPathComponent(file)));
    item(text, "method", sanitizeUtf8(function));
    item(text, "line", std::to_string(line));
    item(text, "deviceFp", secureItem(items::kDeviceFingerprint));
    item(text, "mobileDeviceId", secureItem(items::kMobileDeviceID));
    item(text, "appId", secureItem(items::kInstalledApplicationID));
    item(text, "sdkVersion", versionText(build::kProjectVersion, build::kBuildNumber));
    item(text, "appVersion", bundleVersion());
    item(text, "bundleID", bundleID ? sanitizeUtf8(*bundleID) : "");
    item(text, "ApiVersion", "v1");
    item(text, "osVersion", osVersion ? sanitizeUtf8(*osVersion) : "unknown");
    item(text, "model", secureItem(items::kDeviceMarketName));
    item(text, "rawDevice", model ? sanitizeUtf8(*model) : "unknown");
    item(text, "thread", mainThread ? "Main" : "Background");
    return text;
}

} // namespace velquor::detail
