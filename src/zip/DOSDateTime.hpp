// MS-DOS date and time as ZIP headers store them, from a moment in UTC (never local time):
// date = day + month * 32 + (year - 1980) * 512, with the year clamped to 1980..2099;
// time = seconds / 2 + minutes * 32 + hours * 2048.
//
//   auto stamp = DOSDateTime::from(std::chrono::system_clock::now());
//
// A plain value; the conversion uses calendar arithmetic only, so it is thread-safe.
#pragma once

#include <chrono>
#include <cstdint>

namespace velquor::detail {

class DOSDateTime {
public:
    std::uint16_t date = 0;
    std::uint16_t time = 0;

    static DOSDateTime from(std::chrono::system_clock::time_point moment) noexcept;
};

} // namespace velquor::detail
