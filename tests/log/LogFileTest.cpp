// The encrypted log file on real files in a temporary directory, with the memory key store.
#include "log/LogFile.hpp"
#include "log/FileLogSink.hpp"
#include "log/LogLine.hpp"
#include "log/MemoryLogSink.hpp"
#include "platform/linux/ConfiguredBundleInfo.hpp"
#include "platform/linux/LinuxDeviceFacts.hpp"
#include "platform/memory/MemoryKeyStore.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <thread>
#include <tuple>

#include <sys/stat.h>

namespace velquor::detail {
namespace {

namespace fs = std::filesystem;
using Op = MemoryKeyStore::Operation;

// Used from one thread at a time by these tests.
struct RecordingConsole : Console {
    void writeLine(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines;
};

class LogFileTest : public testing::Test {
protected:
    std::string contents(const char* name) const { return test::readFile(docs / name); }
    std::string key() const {
        auto bytes = store->password("logsKey", "logsKey").value_or(std::vector<std::uint8_t>{});
        return std::string(bytes.begin(), bytes.end());
    }

    test::TempDir tmp;
    fs::path docs = tmp.path() / "Documents";
    std::shared_ptr<MemoryKeyStore> store = std::make_shared<MemoryKeyStore>();
    std::shared_ptr<RecordingConsole> console = std::make_shared<RecordingConsole>();
    std::shared_ptr<LogFile> file = std::make_shared<LogFile>(LogFile::Collaborators{docs, store, console});
};

TEST_F(LogFileTest, WritesTheSeventeenItemsEncryptedAndTapsOnlyWrittenLevels) {
    for (const char* item :
         {"deviceFingerprint", "mobileDeviceID", "installedApplicationID", "deviceMarketName"})
        store->addPassword(item, item, std::vector<std::uint8_t>(item, item + 3));
    auto facts = std::make_shared<LinuxDeviceFacts>(
        nullptr, LinuxDeviceFacts::Sources{tmp.path(), nullptr,
                                           [] { return std::optional<std::string>("x86"); }, nullptr});
    auto bundle =
        std::make_shared<ConfiguredBundleInfo>(HostApplication{"com.host", "", "", "2.1", "7"}, tmp.path());
    auto instant =
        std::chrono::sys_days(std::chrono::year(2020) / 3 / 15) + std::chrono::milliseconds(58953123);
    LogLine builder({store, bundle, facts, [&] { return instant; }, nullptr});
    auto tap = std::make_shared<MemoryLogSink>();
    FileLogSink sink(file, tap);

    sink.write(LogLevel::debug, "raw token");
    sink.write(LogLevel::verbose, "raw reply");
    EXPECT_FALSE(fs::exists(docs / LogFile::kCurrentName));
    EXPECT_EQ(key().size(), 32u) << "every level creates the key";

    const std::string plain = builder.build("Pairing", LogLevel::info, "Core/LogicLayer.cpp", 42, "pair()");
    EXPECT_EQ(
        plain,
        R"x([Velquor] time="2020-03-15 10:22:33.123-0600" logLevel="INFO" Pairing file="LogicLayer.cpp")x"
        R"x( method="pair()" line="42" deviceFp="dev" mobileDeviceId="mob" appId="ins")x"
        R"x( sdkVersion="1.0.0(92)" appVersion="2.1(7)" bundleID="com.host" ApiVersion="v1")x"
        R"x( osVersion="unknown" model="dev" rawDevice="x86" thread="Main")x");
    sink.write(LogLevel::info, plain);
    EXPECT_EQ(tap->lines(), std::vector<std::string>{plain});
    EXPECT_TRUE(
        std::regex_match(contents(LogFile::kCurrentName), std::regex("[A-Za-z0-9]{16}[A-Za-z0-9+/]+=*\n")));
    EXPECT_EQ(file->readDecryptedLog().text, plain + "\n");
    EXPECT_EQ(fs::status(docs).permissions(), fs::perms::owner_all);
    // Standard time in winter.
    EXPECT_EQ(
        LogLine::formatTime(std::chrono::sys_days(std::chrono::year(2021) / 1 / 2) + std::chrono::hours(7)),
        "2021-01-02 00:00:00.000-0700");
}

TEST_F(LogFileTest, RotatesPastTheLimitWithOneRenameAndKeepsLinesWhenItFails) {
    using Case = std::tuple<std::size_t, bool, bool>; // planted bytes, old path blocked, rotated
    for (auto [planted, blockOld, rotated] :
         {Case{1'000'000, false, false}, Case{1'000'001, false, true}, Case{1'000'001, true, false}}) {
        fs::remove_all(docs);
        ::mkdir(docs.c_str(), 0700);
        test::writeFile(docs / LogFile::kCurrentName, std::string(planted - 1, 'x') + '\n');
        if (blockOld)
            fs::create_directory(docs / LogFile::kOldName);
        console->lines.clear();
        file->append(LogLevel::warning, "next");
        std::string current = contents(LogFile::kCurrentName);
        EXPECT_EQ(current.size() < 200, rotated) << planted;
        EXPECT_EQ(rotated ? contents(LogFile::kOldName).size() : current.substr(0, planted).size(), planted);
        EXPECT_EQ(console->lines, blockOld ? std::vector<std::string>{"Could not move velquorv2.log to "
                                                                      "velquorv2.old: Is a directory"}
                                           : std::vector<std::string>{});
    }
}

TEST_F(LogFileTest, ReadsOlderFileFirstAndSkipsTornForeignAndEarlierKeyLines) {
    // Longer than any padding length the cipher accepts (255), so that under another key a line
    // cannot decrypt to valid text by chance.
    const std::string one = "one" + std::string(400, '.'), two = "two" + one, three = "three" + one;
    file->append(LogLevel::info, one);
    fs::rename(docs / LogFile::kCurrentName, docs / LogFile::kOldName);
    file->append(LogLevel::error, two);
    std::ofstream(docs / LogFile::kCurrentName, std::ios::app) << "abcdefghijklmnopqrst"; // torn by a crash
    file->append(LogLevel::info, three);
    std::ofstream(docs / LogFile::kCurrentName, std::ios::app) << "abcdefghijklmnop!!!!\n";
    EXPECT_EQ(file->readDecryptedLog().text, one + "\n" + two + "\n" + three + "\n");
    EXPECT_EQ(console->lines.size(), 2u);

    // A passing key-store failure drops the line and keeps the key.
    const std::string before = key();
    store->failNext(Op::copyPassword, kKeyStoreIOError);
    file->append(LogLevel::info, "lost");
    EXPECT_EQ(key(), before);
    // After the removal of local data the earlier lines no longer decrypt.
    store->deletePassword("logsKey", "logsKey");
    file->append(LogLevel::info, "fresh");
    console->lines.clear();
    EXPECT_EQ(file->readDecryptedLog().text, "fresh\n");
    EXPECT_EQ(console->lines, std::vector<std::string>(5, "an error occured while decrypting"));
}

TEST_F(LogFileTest, EightThreadsLoseNoLineAndShareOneKey) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i)
                file->append(LogLevel::info, std::to_string(t) + "-" + std::to_string(i));
        });
    for (auto& thread : threads)
        thread.join();
    const std::string text = file->readDecryptedLog().text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 800);
    EXPECT_NE(text.find("7-99\n"), std::string::npos);
    EXPECT_EQ(store->callCount(Op::addPassword), 1);
}

TEST_F(LogFileTest, ResetRemovesExactlyTheReadBackLinesWhereverRotationPutThem) {
    for (bool rotateAfterRead : {false, true}) {
        fs::remove_all(docs);
        file->append(LogLevel::info, "a1");
        fs::rename(docs / LogFile::kCurrentName, docs / LogFile::kOldName);
        file->append(LogLevel::info, "a2");
        auto back = file->readDecryptedLog();
        ASSERT_EQ(back.text, "a1\na2\n");
        file->append(LogLevel::info, "b1");
        if (rotateAfterRead)
            fs::rename(docs / LogFile::kCurrentName, docs / LogFile::kOldName);
        file->append(LogLevel::info, "b2");
        file->resetLogs(back.mark);
        file->append(LogLevel::info, "Last support id: 7. Starting new log.");
        EXPECT_EQ(file->readDecryptedLog().text, "b1\nb2\nLast support id: 7. Starting new log.\n");
        EXPECT_EQ(fs::exists(docs / LogFile::kOldName), rotateAfterRead);
    }
}

TEST_F(LogFileTest, WithoutDocumentsDirectoryNothingIsWritten) {
    LogFile nowhere({{}, store, console});
    nowhere.append(LogLevel::error, "dropped");
    EXPECT_TRUE(fs::is_empty(tmp.path()));
    EXPECT_EQ(nowhere.readDecryptedLog().text, "");
}

} // namespace
} // namespace velquor::detail
