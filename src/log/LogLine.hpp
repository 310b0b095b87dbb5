// Builds the plain text of one log line: "[Velquor]" followed by the seventeen items (time,
// level, message, source, identifiers, versions, device, thread), before it is encrypted.
//
//   LogLine line({.keyStore = store, .bundle = bundle, .deviceFacts = facts});
//   std::string text = line.build("Pairing", LogLevel::info, "Core/LogicLayer", 42, "pair()");
//
// The identifiers come straight from the key store and the versions from the build constants and
// the bundle facts, so building a line never logs, never collects device data and never reaches
// the network. Thread-safe: build() may run on any threads at once; it calls no callbacks.
#pragma once

#include "log/Log.hpp"

#include <velquor/DeviceFacts.hpp>
#include <velquor/Platform.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace velquor::detail {

class LogLine {
public:
    struct Collaborators {
        // Any of the three may be null: their items are then written empty ("unknown" for the
        // system version and the hardware model).
        std::shared_ptr<KeyStore> keyStore;
        std::shared_ptr<const BundleInfo> bundle;
        std::shared_ptr<const DeviceFacts> deviceFacts;
        // The current time; the system clock when empty.
        std::function<std::chrono::system_clock::time_point()> now;
        // Whether the calling thread counts as the main thread; the entry point's rule when empty.
        std::function<bool()> isMainThread;
    };

    explicit LogLine(Collaborators collaborators);

    // The plain line. Texts that are not valid UTF-8 are written with U+FFFD; nothing is escaped.
    std::string build(std::string_view message, LogLevel level, std::string_view file, int line,
                      std::string_view function) const;

    // "2020-03-15 10:22:33.123-0600": US Mountain time from the system's time-zone database, or
    // the system time zone when the database lacks it (looked up once per process).
    static std::string formatTime(std::chrono::system_clock::time_point time);
    // "VERBOSE" for any level outside 1 to 4.
    static const char* levelName(LogLevel level);

private:
    std::string secureItem(std::string_view name) const;
    std::string bundleVersion() const;

    Collaborators collaborators_;
};

} // namespace velquor::detail
