// The three service regions and their spellings: the data-center code ("NA"), the address prefix
// ("na/") and the first two characters of the pairing keys issued there ("01").
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace velquor::service {

enum class Region { na, eu, au };

inline constexpr std::array<Region, 3> allRegions{Region::na, Region::eu, Region::au};

inline std::string regionCode(Region region) {
    switch (region) {
    case Region::eu:
        return "EU";
    case Region::au:
        return "AU";
    case Region::na:
        break;
    }
    return "NA";
}

inline std::string regionPathPrefix(Region region) {
    switch (region) {
    case Region::eu:
        return "eu";
    case Region::au:
        return "au";
    case Region::na:
        break;
    }
    return "na";
}

inline std::string pairingKeyPrefix(Region region) {
    switch (region) {
    case Region::eu:
        return "02";
    case Region::au:
        return "03";
    case Region::na:
        break;
    }
    return "01";
}

inline std::optional<Region> regionFromCode(std::string_view code) {
    for (const Region region : allRegions)
        if (regionCode(region) == code)
            return region;
    return std::nullopt;
}

inline std::optional<Region> regionFromPathPrefix(std::string_view prefix) {
    for (const Region region : allRegions)
        if (regionPathPrefix(region) == prefix)
            return region;
    return std::nullopt;
}

} // namespace velquor::service
