// The used token ids: once only, kept across reopening until they expire, a file that survives a
// crash mid-line, a failed write and its own growth.
#include "TokenIdLog.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include <sys/resource.h>

namespace velquor::service::test {
namespace {

using velquor::test::modeOf;
using velquor::test::readFile;
using velquor::test::TempDir;
using velquor::test::writeFile;

std::unique_ptr<TokenIdLog> openLog(const std::filesystem::path& path, int64_t now) {
    std::string error;
    auto log = TokenIdLog::open(path, now, error);
    EXPECT_TRUE(log) << error;
    return log;
}

TEST(TokenIdLogTest, AnswersAnIdOnceAcrossReopeningUntilItExpires) {
    TempDir temp;
    const auto path = temp.path() / "token-ids";
    const std::string odd = "a jti\nwith a newline, " + std::string(10000, 'x');
    {
        auto log = openLog(path, 1000);
        EXPECT_TRUE(log->record("kept", 1100, 1000));
        EXPECT_FALSE(log->record("kept", 1100, 1000));
        EXPECT_TRUE(log->record("expiring", 1010, 1000));
        EXPECT_TRUE(log->record(odd, 1100, 1000));
    }
    EXPECT_EQ(modeOf(path), 0600u);
    // The process ended in the middle of a line: that line's token was never answered.
    std::ofstream(path, std::ios::app) << "0123";
    auto log = openLog(path, 1050);
    EXPECT_FALSE(log->record("kept", 1100, 1050));
    EXPECT_FALSE(log->record(odd, 1100, 1050));
    EXPECT_TRUE(log->record("expiring", 1100, 1050));
    EXPECT_EQ(readFile(path).find("0123"), std::string::npos);

    for (const std::string& damaged : {std::string("not a record\n"), std::string(64, 'a') + " -5\n"}) {
        writeFile(path, damaged);
        std::string error;
        EXPECT_FALSE(TokenIdLog::open(path, 1050, error));
        EXPECT_NE(error.find("line 1"), std::string::npos) << error;
    }
}

TEST(TokenIdLogTest, ShrinksOnceExpiredIdsMakeUpMostOfTheFile) {
    TempDir temp;
    const auto path = temp.path() / "token-ids";
    auto log = openLog(path, 1000);
    for (int i = 0; i < 16000; ++i)
        ASSERT_TRUE(log->record("id " + std::to_string(i), 1001, 1000));
    EXPECT_GT(std::filesystem::file_size(path), 1u << 20);
    EXPECT_TRUE(log->record("later", 1200, 1061));
    EXPECT_LT(std::filesystem::file_size(path), 200u);
    EXPECT_FALSE(openLog(path, 1061)->record("later", 1200, 1061));
}

TEST(TokenIdLogTest, AWriteCutShortLeavesNoPartOfALineAndRecordsNothing) {
    TempDir temp;
    const auto path = temp.path() / "token-ids";
    auto log = openLog(path, 1000);
    ASSERT_TRUE(log->record("first", 1100, 1000));
    const auto size = std::filesystem::file_size(path);
    // A file size limit makes the next append stop partway, as a full disk would.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = size + 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    EXPECT_THROW(log->record("second", 1100, 1000), std::runtime_error);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(std::filesystem::file_size(path), size);
    EXPECT_TRUE(log->record("second", 1100, 1000));
    auto reopened = openLog(path, 1000);
    EXPECT_FALSE(reopened->record("first", 1100, 1000));
    EXPECT_FALSE(reopened->record("second", 1100, 1000));
}

} // namespace
} // namespace velquor::service::test
