#include "RandomIds.hpp"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <array>
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
    // Every request gets one (its correlation id), so each thread draws random bytes for many at
    // once: a draw from OpenSSL's generator costs about as much whatever its size. Bytes are
    // handed out once only.
    constexpr size_t uuidsPerDraw = 32;
    thread_local std::array<unsigned char, 16 * uuidsPerDraw> pool{};
    thread_local size_t used = pool.size();
    if (used == pool.size()) {
        if (RAND_bytes(pool.data(), static_cast<int>(pool.size())) != 1)
            throw std::runtime_error("the secure random generator failed");
        used = 0;
    }
    unsigned char* bytes = pool.data() + used;
    used += 16;
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += hex[bytes[i] >> 4];
        text += hex[bytes[i] & 0x0F];
    }
    OPENSSL_cleanse(bytes, 16);
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
