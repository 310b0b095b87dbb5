// Wall-clock time as the protocol counts it: whole seconds ("exp", "createdAt") and milliseconds
// (authentication deadlines) since 1970-01-01 UTC.
#pragma once

#include <chrono>
#include <cstdint>

namespace velquor::service {

inline int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

inline int64_t nowMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace velquor::service
