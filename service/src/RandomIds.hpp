// Identifiers the service hands out: random UUIDs (devices, pairings, authentications), decimal
// pairing keys with their region prefix, and support ids. Drawn from OpenSSL's secure generator.
#pragma once

#include "Region.hpp"

#include <cstdint>
#include <string>

namespace velquor::service {

// Safe from any thread (each thread keeps its own store of random bytes for uuid()).
class RandomIds {
public:
    // A version-4 UUID in lower-case canonical form.
    static std::string uuid();
    // The region's two-digit prefix followed by 14 random decimal digits.
    static std::string pairingKey(Region region);
    // Decimal text of a uniform draw from 0 to 999,999,999 (no leading zeros).
    static std::string supportId();

private:
    static uint64_t uniform(uint64_t bound);
};

} // namespace velquor::service
