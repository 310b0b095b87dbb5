// The used token ids: once only, kept across reopening until they expire, in a file that survives
// a crash mid-line, a write cut short and its own growth.
#include "TokenIdLog.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include <sys/resource.h>

namespace velquor::service::test {
namespace {

using namespace velquor::test;

std::unique_ptr<TokenIdLog> openLog(const std::filesystem::path& path, int64_t now) {
    std::string error;
    auto log = TokenIdLog::open(path, now, error);
    EXPECT_TRUE(log) << error;
    return log;
}

TEST(TokenIdLogTest, AnswersAnIdOnceAcrossReopeningUntilItExpiresAndSurvivesCutsAndGrowth) {
    TempDir temp;
    const auto path = temp.path() / "token-ids";
    const std::string odd = "a jti\nwith a newline, " + std::string(10000, 'x');
    {
        auto log = openLog(path, 1000);
        EXPECT_TRUE(log->record("kept", 1100, 1000));
        EXPECT_TRUE(log->record("expiring", 1010, 1000));
        EXPECT_TRUE(log->record(odd, 1100, 1000));
    }
    // The process ended in the middle of a line: that line's token was never answered.
    std::ofstream(path, std::ios::app) << "0123";
    auto log = openLog(path, 1050);
    EXPECT_FALSE(log->record("kept", 1100, 1050));
    EXPECT_FALSE(log->record(odd, 1100, 1050));
    EXPECT_TRUE(log->record("expiring", 1100, 1050));
    EXPECT_EQ(readFile(path).find("0123"), std::string::npos);

    // A file size limit makes an append stop partway, as a full disk would.
    const auto size = std::filesystem::file_size(path);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = size + 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    EXPECT_THROW(log->record("second", 1200, 1050), std::runtime_error);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(std::filesystem::file_size(path), size) << "no part of a line is left";
    EXPECT_TRUE(log->record("second", 1200, 1050)) << "nor was the id recorded";

    for (int i = 0; i < 16000; ++i)
        ASSERT_TRUE(log->record("id " + std::to_string(i), 1051, 1050));
    EXPECT_GT(std::filesystem::file_size(path), 1u << 20);
    EXPECT_TRUE(log->record("later", 1200, 1111)); // a minute on, all but "second" have expired
    EXPECT_LT(std::filesystem::file_size(path), 300u);
    log = openLog(path, 1111);
    EXPECT_FALSE(log->record("later", 1200, 1111));
    EXPECT_FALSE(log->record("second", 1200, 1111));

    writeFile(path, std::string(64, 'a') + " -5\n");
    std::string error;
    EXPECT_FALSE(TokenIdLog::open(path, 1050, error));
    EXPECT_NE(error.find("line 1"), std::string::npos) << error;
}

} // namespace
} // namespace velquor::service::test
