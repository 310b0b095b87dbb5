#include "zip/CRC32.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

namespace velquor::detail {
namespace {

TEST(CRC32Test, MatchesTheCheckValueAndZlibAcrossChunks) {
    const std::string check = "123456789";
    EXPECT_EQ(CRC32::update(0, {reinterpret_cast<const std::uint8_t*>(check.data()), check.size()}),
              0xCBF43926u);
    std::mt19937 random(7);
    std::vector<std::uint8_t> data(1 << 20);
    for (auto& byte : data)
        byte = static_cast<std::uint8_t>(random());
    std::uint32_t ours = 0;
    for (std::size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 + 1)
        ours = CRC32::update(ours, std::span(data).subspan(at, std::min(step, data.size() - at)));
    EXPECT_EQ(ours, crc32(0, data.data(), static_cast<uInt>(data.size())));
}

} // namespace
} // namespace velquor::detail
