#include "zip/Archive.hpp"
#include "zip/CRC32.hpp"
#include "zip/DOSDateTime.hpp"
#include "zip/LittleEndian.hpp"
#include "zip/MemoryFile.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

namespace velquor::detail {
namespace {

using namespace std::chrono;
using Bytes = std::vector<std::uint8_t>;
using Mode = Archive::AccessMode;
const auto kLeapDay = sys_days{2020y / 2 / 29} + 13h + 45min + 59s;

Bytes randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    return bytes;
}

Archive::Provider answering(const Result<Bytes, ZipError>& answer) {
    return [answer](std::uint64_t, std::size_t) {
        return answer;
    };
}

Archive::Provider over(const Bytes& bytes) {
    return [&bytes](std::uint64_t at, std::size_t size) -> Result<Bytes, ZipError> {
        return Bytes(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + size));
    };
}

TEST(ArchiveTest, EmptyArchiveAndOneDeflatedEntryHaveTheExactLayout) {
    Bytes empty = {0x50, 0x4b, 0x05, 0x06};
    empty.resize(22);
    EXPECT_EQ(Archive::make({1, 2, 3}, Mode::create)->data(), empty);
    const Bytes text = randomBytes(100'000, 1);
    auto archive = Archive::make({}, Mode::create);
    ASSERT_TRUE(archive->addEntry("velquorv2.log", Archive::EntryType::file, text.size(), kLeapDay,
                                  std::nullopt, Archive::CompressionMethod::deflate, 16384, over(text)));
    const Bytes& zip = archive->data();
    ASSERT_GT(zip.size(), 124u);
    const std::uint32_t compressed = static_cast<std::uint32_t>(zip.size() - 124);
    const std::uint32_t crc =
        static_cast<std::uint32_t>(crc32(0, text.data(), static_cast<uInt>(text.size())));
    const std::size_t central = 43 + compressed, end = central + 59;
    // clang-format off
    const std::tuple<std::size_t, int, std::uint32_t> fields[] = {
        {0, 4, 0x04034b50}, {4, 2, 20}, {6, 2, 0x0800}, {8, 2, 8}, {10, 2, 0x6DBD}, {12, 2, 0x505D},
        {14, 4, crc}, {18, 4, compressed}, {22, 4, 100'000}, {26, 2, 13}, {28, 2, 0},
        {central, 4, 0x02014b50}, {central + 4, 2, 0x0315}, {central + 30, 4, 0}, {central + 34, 4, 0},
        {central + 38, 4, 0x81A40000}, {central + 42, 4, 0},
        {end, 4, 0x06054b50}, {end + 4, 4, 0}, {end + 8, 2, 1}, {end + 10, 2, 1}, {end + 12, 4, 59},
        {end + 16, 4, static_cast<std::uint32_t>(central)}, {end + 20, 2, 0}};
    // clang-format on
    for (const auto& [at, width, value] : fields)
        EXPECT_EQ(width == 2 ? le::get16(zip, at) : le::get32(zip, at), value) << "at offset " << at;
    // The central structure repeats the local header from version needed to the name length.
    EXPECT_TRUE(std::equal(zip.begin() + 4, zip.begin() + 30, zip.begin() + static_cast<long>(central) + 6));
    EXPECT_EQ(std::string(zip.begin() + 30, zip.begin() + 43), "velquorv2.log");
    EXPECT_EQ(
        std::string(zip.begin() + static_cast<long>(central) + 46, zip.begin() + static_cast<long>(end)),
        "velquorv2.log");
}

TEST(ArchiveTest, RefusesWhatTheFormatCannotHoldAndPassesProviderFailuresOn) {
    EndOfCentralDirectoryRecord full;
    full.totalNumberOfEntriesOnDisk = full.totalNumberOfEntriesInCentralDirectory = 0xFFFF;
    const Bytes small = randomBytes(10, 2);
    const auto gone = answering(ZipError{ProviderError{"gone"}});
    struct Case {
        Mode mode;
        Bytes start;
        std::string path;
        std::uint64_t size;
        Archive::Provider provider;
        ZipError expected;
        bool writes; // the failure comes after writing began
    } const cases[] = {
        {Mode::create, {}, std::string(65'536, 'n'), 10, over(small), ArchiveError::invalidEntryPath, false},
        {Mode::create, {}, "big", 0x1'0000'0000, over(small), ArchiveError::entryTooLarge, false},
        {Mode::update, full.data(), "more", 10, over(small), ArchiveError::tooManyEntries, false},
        {Mode::read, EndOfCentralDirectoryRecord{}.data(), "ro", 10, over(small),
         ArchiveError::unwritableArchive, false},
        {Mode::create, {}, "failing", 10, gone, ProviderError{"gone"}, true},
        {Mode::create, {}, "short", 10, answering(Bytes(3)), DataError::unreadableFile, true}};
    for (const auto& c : cases) {
        auto archive = Archive::make(c.start, c.mode);
        ASSERT_TRUE(archive);
        const Bytes before = archive->data();
        const auto added = archive->addEntry(c.path, Archive::EntryType::file, c.size, kLeapDay, std::nullopt,
                                             Archive::CompressionMethod::deflate, 4, c.provider);
        ASSERT_FALSE(added) << c.path;
        EXPECT_EQ(added.error(), c.expected) << c.path << ": " << describe(added.error());
        EXPECT_EQ(archive->data() != before, c.writes) << c.path;
        EXPECT_EQ(archive->endOfCentralDirectoryRecord().data(),
                  EndOfCentralDirectoryRecord::locate(before)->data());
        // Refused before writing, the archive stays usable; a partial entry where the directory stood
        // closes it.
        const auto next = archive->addEntry("next", Archive::EntryType::file, small.size(), kLeapDay,
                                            std::nullopt, Archive::CompressionMethod::none, 4, over(small));
        const std::optional<ZipError> expectedNext =
            c.writes ? ZipError{ArchiveError::unwritableArchive}
                     : (c.mode == Mode::create ? std::optional<ZipError>() : c.expected);
        EXPECT_EQ(next ? std::nullopt : std::optional(next.error()), expectedNext) << c.path;
    }
}

TEST(ArchiveTest, StoredDeflatedAndDirectoryEntriesExtractWithUnzip) {
    const Bytes all = randomBytes(321'384, 3), first(all.begin(), all.begin() + 5'000),
                second(all.begin() + 5'000, all.begin() + 305'000), third(all.begin() + 305'000, all.end());
    auto archive = Archive::make({}, Mode::create);
    using Type = Archive::EntryType;
    using Method = Archive::CompressionMethod;
    ASSERT_TRUE(archive->addEntry("a.txt", Type::file, first.size(), kLeapDay, 0600, Method::none, 1000,
                                  over(first)));
    ASSERT_TRUE(archive->addEntry("dir/", Type::directory, 0, kLeapDay, std::nullopt, Method::deflate, 1000,
                                  over(first)));
    ASSERT_TRUE(archive->addEntry("dir/b.txt", Type::file, second.size(), kLeapDay, std::nullopt,
                                  Method::deflate, 4096, over(second)));
    // Reopened for update: the directory read back from the buffer is carried over.
    auto reopened = Archive::make(archive->data(), Mode::update);
    ASSERT_TRUE(reopened->addEntry("c.txt", Type::file, third.size(), kLeapDay, std::nullopt, Method::deflate,
                                   4096, over(third)));
    EXPECT_EQ(reopened->endOfCentralDirectoryRecord().totalNumberOfEntriesInCentralDirectory, 4);

    test::TempDir dir;
    const auto path = (dir.path() / "out.zip").string();
    test::writeFile(path, std::string(reopened->data().begin(), reopened->data().end()));
    EXPECT_EQ(std::system(("unzip -tqq " + path).c_str()), 0);
    // unzip -p writes the named entries in archive order.
    ASSERT_EQ(std::system(("unzip -p " + path + " a.txt dir/b.txt c.txt > " + path + ".out").c_str()), 0);
    const std::string extracted = test::readFile(path + ".out");
    EXPECT_EQ(Bytes(extracted.begin(), extracted.end()), all);
}

TEST(CRC32Test, MatchesTheCheckValueAndZlibAcrossChunks) {
    const std::string check = "123456789";
    EXPECT_EQ(CRC32::update(0, {reinterpret_cast<const std::uint8_t*>(check.data()), check.size()}),
              0xCBF43926u);
    const Bytes data = randomBytes(1 << 20, 7);
    std::uint32_t ours = 0;
    for (std::size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 + 1)
        ours = CRC32::update(ours, std::span(data).subspan(at, std::min(step, data.size() - at)));
    EXPECT_EQ(ours, crc32(0, data.data(), static_cast<uInt>(data.size())));
}

// The layout test above checks a leap day; these, the years a DOS date cannot hold.
TEST(DOSDateTimeTest, ConvertsInUTCAndClampsTheYear) {
    const std::tuple<sys_seconds, int, int> moments[] = {
        {sys_days{1975y / 6 / 15} + 1s, 15 + 6 * 32, 0},
        {sys_days{2150y / 1 / 1} + 23h + 59min + 58s, 1 + 32 + 119 * 512, 29 + 59 * 32 + 23 * 2048}};
    for (const auto& [moment, date, time] : moments) {
        const auto stamp = DOSDateTime::from(moment);
        EXPECT_EQ(stamp.date, date);
        EXPECT_EQ(stamp.time, time);
    }
}

TEST(MemoryFileTest, WritesZeroFillGapsDropTheOverrunTailAndNeverSeekBeforeTheStart) {
    const struct {
        Bytes initial;
        std::string mode;
        std::int64_t position;
        Bytes written, expected;
    } cases[] = {{{1, 2, 3, 4}, "wb+", 10, {9, 9}, {1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 9, 9}},
                 {{1, 2, 3, 4, 5, 6}, "wb+", 2, Bytes(8, 9), {1, 2, 9, 9, 9, 9, 9, 9, 9, 9}},
                 {{1, 2, 3, 4, 5, 6}, "rb+", 1, {9, 9}, {1, 9, 9, 4, 5, 6}},
                 {{1, 2}, "ab", 0, {9}, {1, 2, 9}},
                 {{1, 2}, "rb", 1, {9}, {1, 2}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode + " at " + std::to_string(c.position));
        MemoryFile file(c.initial);
        ASSERT_TRUE(file.open(c.mode));
        ASSERT_TRUE(file.seek(c.position, MemoryFile::Origin::current));
        const bool readOnly = c.mode == "rb";
        EXPECT_EQ(file.write(c.written), readOnly ? 0 : c.written.size());
        EXPECT_EQ(file.error(), readOnly);
        EXPECT_EQ(file.data(), c.expected);
        const auto position = file.tell();
        EXPECT_FALSE(file.seek(-position - 1, MemoryFile::Origin::current));
        EXPECT_FALSE(file.seek(-static_cast<std::int64_t>(c.expected.size()) - 1, MemoryFile::Origin::end));
        EXPECT_EQ(file.tell(), position);
    }
}

} // namespace
} // namespace velquor::detail
