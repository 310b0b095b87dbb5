#include "RandomIds.hpp"

#include <openssl/rand.h>

#include <array>
#include <cstdio>
#include <stdexcept>

namespace velquor::service {
namespace {

uint64_t random64() {
    uint64_t value = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&value), sizeof value) != 1)
        throw std::runtime_error("the secure random generator failed");
    return value;
}

} // namespace

uint64_t RandomIds::uniform(uint64_t bound) {
    const uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
    uint64_t value = random64();
    while (value >= limit)
        value = random64();
    return value % bound;
}

std::string RandomIds::uuid() {
    std::array<unsigned char, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1)
        throw std::runtime_error("the secure random generator failed");
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::string RandomIds::pairingKey(Region region) {
    std::string key = pairingKeyPrefix(region);
    for (int i = 0; i < 14; ++i)
        key += static_cast<char>('0' + uniform(10));
    return key;
}

std::string RandomIds::supportId() {
    return std::to_string(uniform(1000000000));
}

} // namespace velquor::service
