// The process log over the process platform. Each case runs in a fresh child process (a death
// test re-executing this binary), since the process platform is resolved once per process.
#include "log/Log.hpp"
#include "log/LogFile.hpp"
#include "log/MemoryLogSink.hpp"
#include "platform/PlatformContext.hpp"
#include "platform/linux/FileKeyStore.hpp"

#include "TestSupport.hpp"

#include <velquor/Velquor.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include <sys/stat.h>

namespace velquor::detail {
namespace {

namespace fs = std::filesystem;

// The child's verdict: each failed check is printed, and the exit code says whether any failed.
struct Checks {
    void operator()(bool ok, const char* what) {
        if (!ok) {
            std::fprintf(stderr, "failed: %s\n", what);
            ++failures;
        }
    }
    [[noreturn]] void exit() const { std::_Exit(failures == 0 ? 0 : 1); }
    int failures = 0;
};

struct Child {
    Child() {
        setLogSink(tap);
        Configuration configuration;
        configuration.keyStoreDirectory = dir.path() / "keystore";
        configuration.applicationDirectory = dir.path() / "application";
        configuration.hostApplication = {"com.example.logtests", "Log", "Log", "2.0", "9"};
        PlatformContext::configure(configuration);
    }
    std::optional<std::string> logsKey() const {
        std::vector<std::uint8_t> bytes;
        if (FileKeyStore(dir.path() / "keystore").copyPassword("logsKey", "logsKey", bytes) != 0)
            return std::nullopt;
        return std::string(bytes.begin(), bytes.end());
    }
    fs::path logPath() const { return dir.path() / "application" / "Documents" / "velquorv2.log"; }

    test::TempDir dir;
    std::shared_ptr<MemoryLogSink> tap = std::make_shared<MemoryLogSink>();
    Checks check;
};

class ProcessLog : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ProcessLog, BeforeThePlatformIsResolvedLinesReachOnlyTheTapAndMakeNothing) {
    EXPECT_EXIT(
        {
            Child child;
            Configuration bad;
            bad.europeBaseURL = "http://api.example/";
            child.check(!Velquor::configure(bad), "a plain http address is refused");
            VQ_LOG(LogLevel::debug, "Tests/ProcessLog", "early()", "debug");
            VQ_LOG(LogLevel::info, "Tests/ProcessLog", "early()", "info before");
            child.check(child.tap->count("the address is not an https address") == 1,
                        "the refusal is tapped");
            child.check(child.tap->count("info before") == 1, "the line is tapped");
            child.check(child.tap->lines().back().ends_with(" thread=\"Main\""), "a whole line");
            child.check(!PlatformContext::isResolved(), "logging resolved nothing");
            child.check(fs::is_empty(child.dir.path()), "no key store, no key, no file");
            child.check.exit();
        },
        testing::ExitedWithCode(0), "");
}

// HOME points at an empty directory: the suite's own configuration keeps everything away from it.
TEST_F(ProcessLog, StartUpLinesReachTheFileAndTheTapAlikeAwayFromHome) {
    EXPECT_EXIT(
        {
            test::TempDir home;
            ::setenv("HOME", home.path().c_str(), 1);
            ::unsetenv("XDG_DATA_HOME");
            Child child;
            const std::vector<std::uint8_t> paired{'1'}; // left by an earlier installation
            FileKeyStore(child.dir.path() / "keystore").addPassword("isPaired", "isPaired", paired);
            Velquor::getUNNotificationCategories(); // starts the logic layer
            const std::string text = processLogFile().readDecryptedLog().text;
            child.check(text.find("\" Velquor init file=\"LogicLayer\"") != std::string::npos,
                        "Velquor init");
            child.check(text.find("\" Clean up file=\"LogicLayer\"") != std::string::npos,
                        "the reinstall check");
            child.check(text.find("bundleID=\"com.example.logtests\"") != std::string::npos, "host facts");
            std::string tapped;
            for (const auto& line : child.tap->lines())
                tapped += line + "\n";
            child.check(tapped == text, "the tap saw exactly the lines in the file");
            struct stat st {};
            child.check(::stat(child.logPath().parent_path().c_str(), &st) == 0 &&
                            (st.st_mode & 07777) == 0700,
                        "Documents is owner-only");
            child.check(fs::is_empty(home.path()), "nothing under HOME");
            child.check.exit();
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(ProcessLog, QuietLevelsMakeTheKeyOnlyAndEightThreadsShareIt) {
    EXPECT_EXIT(
        {
            Child child;
            PlatformContext::get();
            child.check(!child.logsKey(), "no key before the first line");
            VQ_LOG(LogLevel::debug, "Tests/ProcessLog", "quiet()", "raw token");
            VQ_LOG(LogLevel::verbose, "Tests/ProcessLog", "quiet()", "raw reply");
            const auto key = child.logsKey();
            child.check(key && key->size() == 32, "a quiet line makes the key");
            child.check(!fs::exists(child.logPath()) && child.tap->lines().empty(), "but writes nothing");
            std::vector<std::thread> threads;
            for (int t = 0; t < 8; ++t)
                threads.emplace_back([] {
                    for (int i = 0; i < 25; ++i)
                        VQ_LOG(LogLevel::warning, "Tests/ProcessLog", "loud()", "concurrent");
                });
            for (auto& thread : threads)
                thread.join();
            const std::string text = processLogFile().readDecryptedLog().text;
            std::size_t lines = 0;
            for (auto at = text.find(" concurrent "); at != std::string::npos;
                 at = text.find(" concurrent ", at + 1))
                ++lines;
            child.check(lines == 200, "every line reads back under the one key");
            child.check(child.logsKey() == key, "the key stayed");
            child.check(text.find("raw ") == std::string::npos, "quiet lines never reach the file");
            child.check.exit();
        },
        testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace velquor::detail
