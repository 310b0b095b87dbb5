#include "log/ZipLog.hpp"

#include "zip/LittleEndian.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>

namespace velquor::detail {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A log-like text of about `size` bytes, with a non-ASCII character on every line.
std::string logText(std::size_t size) {
    std::string text;
    for (int line = 0; text.size() < size; ++line)
        text += "2026-12-07 03:0" + std::to_string(line % 10) + " INFO Core/LogicLayer pair line " +
                std::to_string(line * 7919 % 10007) + " caf\xC3\xA9\n";
    text.resize(size);
    return text;
}

Bytes inflateRaw(const Bytes& compressed) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, -MAX_WBITS), Z_OK);
    Bytes out, chunk(1 << 16);
    stream.next_in = const_cast<Bytef*>(compressed.data());
    stream.avail_in = static_cast<uInt>(compressed.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        stream.next_out = chunk.data();
        stream.avail_out = static_cast<uInt>(chunk.size());
        rc = inflate(&stream, Z_FINISH);
        out.insert(out.end(), chunk.data(), stream.next_out);
        if (rc == Z_BUF_ERROR && stream.avail_out == 0)
            rc = Z_OK;
    }
    EXPECT_EQ(rc, Z_STREAM_END);
    EXPECT_EQ(stream.avail_in, 0u);
    inflateEnd(&stream);
    return out;
}

class ZipLogTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ZipLogTest, ArchiveHoldsTheTextForUnzipAndInflate) {
    const std::string text = logText(GetParam());
    const auto zip = ZipLog::zip(text);
    ASSERT_TRUE(zip);
    ASSERT_GE(zip->size(), 124u);
    const std::size_t compressed = le::get32(*zip, 18);
    EXPECT_EQ(zip->size(), 124 + compressed);
    EXPECT_EQ(le::get32(*zip, 22), text.size());
    EXPECT_EQ(inflateRaw(Bytes(zip->begin() + 43, zip->begin() + 43 + static_cast<long>(compressed))),
              Bytes(text.begin(), text.end()));

    test::TempDir dir;
    const auto path = (dir.path() / "logs.zip").string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(zip->data()), static_cast<long>(zip->size()));
    EXPECT_EQ(std::system(("unzip -tqq " + path).c_str()), 0);
    std::string extracted;
    FILE* pipe = popen(("unzip -p " + path + " velquorv2.log").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    for (int c; (c = std::fgetc(pipe)) != EOF;)
        extracted.push_back(static_cast<char>(c));
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_EQ(extracted, text);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ZipLogTest, ::testing::Values(0, 1'000, 16'384, 3'000'000));

TEST(ZipLogTest, TextThatIsNotUtf8GivesNothing) {
    EXPECT_FALSE(ZipLog::zip("line \xC3\x28 torn\n"));
}

} // namespace
} // namespace velquor::detail
