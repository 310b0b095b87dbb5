#include "zip/DOSDateTime.hpp"

#include <algorithm>

namespace velquor::detail {

DOSDateTime DOSDateTime::from(std::chrono::system_clock::time_point moment) noexcept {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(moment);
    const auto day = floor<days>(seconds);
    const year_month_day civil{day};
    const hh_mm_ss clock{seconds - day};

    const int year = std::clamp(static_cast<int>(civil.year()), 1980, 2099);
    DOSDateTime result;
    result.date = static_cast<std::uint16_t>(static_cast<unsigned>(civil.day()) +
                                             static_cast<unsigned>(civil.month()) * 32 + (year - 1980) * 512);
    result.time = static_cast<std::uint16_t>(clock.seconds().count() / 2 + clock.minutes().count() * 32 +
                                             clock.hours().count() * 2048);
    return result;
}

} // namespace velquor::detail
