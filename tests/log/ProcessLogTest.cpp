// The process log over the process platform. Each case runs in a fresh child process (a death
// test re-executing this binary), since the process platform is resolved once per process.
#include "log/LogFile.hpp"
#include "log/MemoryLogSink.hpp"
#include "platform/PlatformContext.hpp"
#include "platform/linux/FileKeyStore.hpp"

#include "TestSupport.hpp"

#include <velquor/Velquor.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace velquor::detail {
namespace {

namespace fs = std::filesystem;

// A child with its own directories and tap. Each failed check is printed; the exit code says
// whether any failed.
struct Child {
    Child() {
        setLogSink(tap);
        Configuration configuration;
        configuration.keyStoreDirectory = dir.path() / "keystore";
        configuration.applicationDirectory = dir.path() / "application";
        configuration.hostApplication = {"com.example.logtests", "Log", "Log", "2.0", "9"};
        PlatformContext::configure(configuration);
    }
    void check(bool ok, const char* what) { failures += ok ? "" : std::string("failed: ") + what + "\n"; }
    int verdict() const {
        std::fputs(failures.c_str(), stderr);
        return failures.empty() ? 0 : 1;
    }
    bool hasLogsKey() {
        std::vector<std::uint8_t> bytes;
        return store.copyPassword("logsKey", "logsKey", bytes) == kKeyStoreSuccess && bytes.size() == 32;
    }

    test::TempDir dir;
    FileKeyStore store{dir.path() / "keystore"};
    fs::path documents = dir.path() / "application" / "Documents";
    std::shared_ptr<MemoryLogSink> tap = std::make_shared<MemoryLogSink>();
    std::string failures;
};

class ProcessLog : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

int beforeResolution() {
    Child child;
    Configuration bad;
    bad.europeBaseURL = "http://api.example/";
    child.check(!Velquor::configure(bad), "a plain http address is refused");
    VQ_LOG(LogLevel::debug, "Tests/ProcessLog", "early()", "debug");
    child.check(child.tap->count("the address is not an https address") == 1, "the refusal is tapped");
    child.check(child.tap->lines().back().ends_with(" thread=\"Main\""), "as a whole line");
    child.check(!PlatformContext::isResolved(), "logging resolved nothing");
    child.check(fs::is_empty(child.dir.path()), "no key store, no key, no file");
    return child.verdict();
}

// HOME points at an empty directory: the configuration keeps everything away from it.
int startUp() {
    test::TempDir home;
    ::setenv("HOME", home.path().c_str(), 1);
    ::unsetenv("XDG_DATA_HOME");
    Child child;
    child.store.addPassword("isPaired", "isPaired", {'1'}); // left by an earlier installation
    PlatformContext::get();
    child.check(!child.hasLogsKey(), "no key before the first line");
    VQ_LOG(LogLevel::debug, "Tests/ProcessLog", "quiet()", "raw token");
    child.check(child.hasLogsKey(), "a quiet line makes the key");
    child.check(!fs::exists(child.documents) && child.tap->lines().empty(), "but writes nothing");
    Velquor::getUNNotificationCategories(); // starts the logic layer
    const std::string text = processLogFile().readDecryptedLog().text;
    for (const char* expected :
         {"\" Velquor init file=", "\" Clean up file=", "bundleID=\"com.example.logtests\""})
        child.check(text.find(expected) != std::string::npos, expected);
    std::string tapped;
    for (const auto& line : child.tap->lines())
        tapped += line + "\n";
    child.check(tapped == text, "the tap saw exactly the lines in the file");
    child.check(fs::is_empty(home.path()), "nothing under HOME");
    return child.verdict();
}

// Each scenario returns before exit, so its directories are gone when the child ends.
TEST_F(ProcessLog, BeforeThePlatformIsResolvedLinesReachOnlyTheTapAndMakeNothing) {
    EXPECT_EXIT(std::exit(beforeResolution()), testing::ExitedWithCode(0), "");
}

TEST_F(ProcessLog, QuietLinesMakeTheKeyAndStartUpLinesReachFileAndTapAwayFromHome) {
    EXPECT_EXIT(std::exit(startUp()), testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace velquor::detail
