// The encrypted log file on real files in a temporary directory, with the memory key store; the
// process log; the zipped log.
#include "log/LogFile.hpp"
#include "log/FileLogSink.hpp"
#include "log/LogLine.hpp"
#include "log/ZipLog.hpp"
#include "platform/linux/ConfiguredBundleInfo.hpp"
#include "platform/linux/FileKeyStore.hpp"
#include "platform/linux/LinuxDeviceFacts.hpp"
#include "zip/LittleEndian.hpp"

#include "FoundationSupport.hpp"

#include <velquor/Velquor.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

#include <sys/stat.h>

namespace velquor::detail {
namespace {

namespace fs = std::filesystem;
using Op = MemoryKeyStore::Operation;

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
    std::shared_ptr<test::RecordingConsole> console = std::make_shared<test::RecordingConsole>();
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
        file->append(LogLevel::warning, "next");
        std::string current = contents(LogFile::kCurrentName);
        EXPECT_EQ(current.size() < 200, rotated) << planted;
        EXPECT_EQ(rotated ? contents(LogFile::kOldName).size() : current.substr(0, planted).size(), planted);
        // Only the last case writes to the console.
        EXPECT_EQ(console->lines(), blockOld ? std::vector<std::string>{"Could not move velquorv2.log to "
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
    EXPECT_EQ(console->lines().size(), 2u);

    // A passing key-store failure drops the line and keeps the key.
    const std::string before = key();
    store->failNext(Op::copyPassword, kKeyStoreIOError);
    file->append(LogLevel::info, "lost");
    EXPECT_EQ(key(), before);
    // After the removal of local data the earlier lines no longer decrypt.
    store->deletePassword("logsKey", "logsKey");
    file->append(LogLevel::info, "fresh");
    EXPECT_EQ(file->readDecryptedLog().text, "fresh\n");
    EXPECT_EQ(console->lines(), std::vector<std::string>(7, "an error occured while decrypting"));
}

TEST_F(LogFileTest, EightThreadsLoseNoLineAndShareOneKey) {
    for (std::vector<std::jthread> threads; threads.size() < 8;) // joined as the loop ends
        threads.emplace_back([&, t = threads.size()] {
            for (int i = 0; i < 100; ++i)
                file->append(LogLevel::info, std::to_string(t) + "-" + std::to_string(i));
        });
    const std::string text = file->readDecryptedLog().text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 800);
    EXPECT_NE(text.find("7-99\n"), std::string::npos);
    EXPECT_EQ(store->callCount(Op::addPassword), 1);
}

// A reset with no rotation since the read-back is the log upload flow's.
TEST_F(LogFileTest, ResetRemovesExactlyTheReadBackLinesWhenARotationFollowedTheReadBack) {
    file->append(LogLevel::info, "a1");
    fs::rename(docs / LogFile::kCurrentName, docs / LogFile::kOldName);
    file->append(LogLevel::info, "a2");
    auto back = file->readDecryptedLog();
    ASSERT_EQ(back.text, "a1\na2\n");
    file->append(LogLevel::info, "b1");
    fs::rename(docs / LogFile::kCurrentName, docs / LogFile::kOldName);
    file->append(LogLevel::info, "b2");
    file->resetLogs(back.mark);
    EXPECT_EQ(file->readDecryptedLog().text, "b1\nb2\n");
    EXPECT_TRUE(fs::exists(docs / LogFile::kOldName));
}

TEST_F(LogFileTest, WithoutDocumentsDirectoryNothingIsWritten) {
    LogFile nowhere({{}, store, console});
    nowhere.append(LogLevel::error, "dropped");
    EXPECT_TRUE(fs::is_empty(tmp.path()));
    EXPECT_EQ(nowhere.readDecryptedLog().text, "");
}

// The process log over the process platform, in a fresh child process (a death test re-executing
// this binary), since the process platform is resolved once per process. HOME points at an empty
// directory: the configuration keeps everything away from it. Each failed check is printed; the
// exit code says whether any failed. It returns before exit, so its directories are gone when the
// child ends.
int processLog() {
    test::TempDir home, dir;
    ::setenv("HOME", home.path().c_str(), 1);
    ::unsetenv("XDG_DATA_HOME");
    auto tap = std::make_shared<MemoryLogSink>();
    setLogSink(tap);
    Configuration configuration;
    configuration.keyStoreDirectory = dir.path() / "keystore";
    configuration.applicationDirectory = dir.path() / "application";
    configuration.hostApplication = {"com.example.logtests", "Log", "Log", "2.0", "9"};
    PlatformContext::configure(configuration);
    FileKeyStore store{dir.path() / "keystore"};
    std::string failures;
    const auto check = [&](bool ok, const char* what) {
        failures += ok ? "" : std::string("failed: ") + what + "\n";
    };
    const auto hasLogsKey = [&] {
        std::vector<std::uint8_t> bytes;
        return store.copyPassword("logsKey", "logsKey", bytes) == kKeyStoreSuccess && bytes.size() == 32;
    };

    // Before the platform is resolved, lines reach only the tap and make nothing.
    Configuration bad;
    bad.europeBaseURL = "http://api.example/";
    check(!Velquor::configure(bad), "a plain http address is refused");
    VQ_LOG(LogLevel::debug, "Tests/ProcessLog", "early()", "debug");
    check(tap->count("the address is not an https address") == 1, "the refusal is tapped");
    check(tap->lines().back().ends_with(" thread=\"Main\""), "as a whole line");
    check(!PlatformContext::isResolved(), "logging resolved nothing");
    check(fs::is_empty(dir.path()), "no key store, no key, no file");
    tap->clear();

    store.addPassword("isPaired", "isPaired", {'1'}); // left by an earlier installation
    PlatformContext::get();
    check(!hasLogsKey(), "no key before the first line");
    VQ_LOG(LogLevel::debug, "Tests/ProcessLog", "quiet()", "raw token");
    check(hasLogsKey(), "a quiet line makes the key");
    check(!fs::exists(dir.path() / "application" / "Documents") && tap->lines().empty(),
          "but writes nothing");
    Velquor::getUNNotificationCategories(); // starts the logic layer
    const std::string text = processLogFile().readDecryptedLog().text;
    for (const char* expected :
         {"\" Velquor init file=", "\" Clean up file=", "bundleID=\"com.example.logtests\""})
        check(text.find(expected) != std::string::npos, expected);
    std::string tapped;
    for (const auto& line : tap->lines())
        tapped += line + "\n";
    check(tapped == text, "the tap saw exactly the lines in the file");
    check(fs::is_empty(home.path()), "nothing under HOME");
    std::fputs(failures.c_str(), stderr);
    return failures.empty() ? 0 : 1;
}

TEST(ProcessLog, LinesReachOnlyTheTapUntilResolvedThenQuietOnesMakeTheKeyAndStartUpOnesTheFile) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(processLog()), testing::ExitedWithCode(0), "");
}

// The log as it is uploaded: zipped.
// A log-like text of about `size` bytes, with a non-ASCII character on every line.
std::string logText(std::size_t size) {
    std::string text;
    for (int line = 0; text.size() < size; ++line)
        text += "2026-12-07 03:0" + std::to_string(line % 10) + " INFO Core/LogicLayer pair line " +
                std::to_string(line * 7919 % 10007) + " caf\xC3\xA9\n";
    text.resize(size);
    return text;
}

// Text that is not UTF-8 gives nothing.
TEST(ZipLogTest, ArchiveHoldsTheTextForUnzip) {
    EXPECT_FALSE(ZipLog::zip("line \xC3\x28 torn\n"));
    test::TempDir dir;
    for (std::size_t size : {0, 1'000, 16'384, 3'000'000}) {
        SCOPED_TRACE(size);
        const std::string text = logText(size);
        const auto zip = ZipLog::zip(text);
        ASSERT_TRUE(zip);
        // The layout is the archive's (checked there): one deflated entry and nothing else.
        ASSERT_GE(zip->size(), 124u);
        EXPECT_EQ(le::get16(*zip, 8), 8);
        EXPECT_EQ(zip->size(), 124 + le::get32(*zip, 18));
        const auto path = (dir.path() / "logs.zip").string();
        test::writeFile(path, std::string(zip->begin(), zip->end()));
        EXPECT_EQ(std::system(("unzip -tqq " + path).c_str()), 0);
        ASSERT_EQ(std::system(("unzip -p " + path + " velquorv2.log > " + path + ".out").c_str()), 0);
        EXPECT_EQ(test::readFile(path + ".out"), text);
    }
}

} // namespace
} // namespace velquor::detail
