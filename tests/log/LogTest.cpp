// The log entry point: what reaches the sink, the line's items, text repair, and the thread item.

#include "platform/linux/ThreadPoolDispatchQueues.hpp"
#include "remote/ErrorBuilder.hpp"

#include "FoundationSupport.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <thread>

namespace velquor::detail {
namespace {

class LogTest : public testing::Test {
protected:
    test::ScopedLogSink sink;
};

// Only info, warning and error reach the sink; an error is logged by its description, filtered
// by level as text is.
TEST_F(LogTest, OnlyInfoWarningAndErrorReachTheSinkErrorsByTheirDescription) {
    for (int level : {static_cast<int>(LogLevel::verbose), static_cast<int>(LogLevel::debug), 7, -1,
                      static_cast<int>(LogLevel::info), static_cast<int>(LogLevel::warning),
                      static_cast<int>(LogLevel::error)})
        log("level " + std::to_string(level), static_cast<LogLevel>(level), "Core/A", 1, "f()");
    auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 3u);
    const std::string expected[] = {"INFO", "WARNING", "ERROR"};
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(lines[i].find("logLevel=\"" + expected[i] + "\" level " +
                                std::to_string(static_cast<int>(LogLevel::info) + i) + " "),
                  std::string::npos)
            << lines[i];

    log(ErrorBuilder::build(ErrorCode::deviceNotPaired, 51), LogLevel::error, "Core/LogicLayer", 9, "f()");
    log(ErrorBuilder::build(ErrorCode::deviceNotPaired, 52), LogLevel::debug, "Core/LogicLayer", 9, "f()");
    ASSERT_EQ(sink->lines().size(), 4u);
    const std::string error = sink->lines()[3];
    EXPECT_NE(error.find(R"(Error Domain=VelquorErrorDomain Code=10008 "Device is not paired." UserInfo={)"),
              std::string::npos)
        << error;
    EXPECT_NE(error.find(R"("internalErrorCode":20051)"), std::string::npos);
}

TEST_F(LogTest, LineCarriesTheItemsInOrderTheFileIsTheLastPathComponentAndTextIsRepaired) {
    VQ_LOG(LogLevel::info, "Core/LogicLayer", "pair(withPairingKey:completionHandler:)", "pairingKey=01AB");
    const int line = __LINE__ - 1;
    const std::string text = sink->lines().at(0);
    // The items' order and format are the line builder's (LogFileTest); here what the macro passes,
    // and identifiers left empty while no platform is resolved.
    EXPECT_NE(text.find(R"x( logLevel="INFO" pairingKey=01AB file="LogicLayer")x"
                        R"x( method="pair(withPairingKey:completionHandler:)" line=")x" +
                        std::to_string(line) + R"x(" deviceFp="" mobileDeviceId="" appId="" )x"),
              std::string::npos)
        << text;

    for (const auto& [unit, file] :
         {std::pair<std::string, std::string>{"/a/b/c/Keychain.cpp", "Keychain.cpp"},
          {"NoSlash", "NoSlash"},
          {"trailing/", ""}}) {
        log("m", LogLevel::info, unit, 1, "f()");
        EXPECT_NE(sink->lines().back().find(" file=\"" + file + "\" "), std::string::npos) << unit;
    }

    // Invalid UTF-8 is replaced, never thrown.
    std::string broken = "ab\xC3\x28 \xFF end";
    EXPECT_NO_THROW(log(broken, LogLevel::warning, std::string("Core/\xFE"), 1, std::string("op\x80()")));
    ASSERT_EQ(sink->lines().size(), 5u);
    const std::string repaired = sink->lines()[4];
    EXPECT_NE(repaired.find("ab\xEF\xBF\xBD( \xEF\xBF\xBD end"), std::string::npos);
    EXPECT_NE(repaired.find("file=\"\xEF\xBF\xBD\""), std::string::npos);
    EXPECT_NE(repaired.find("method=\"op\xEF\xBF\xBD()\""), std::string::npos);
    std::string embeddedNul("a\0b", 3);
    log(embeddedNul, LogLevel::info, "U", 1, "f()");
    EXPECT_EQ(sink->lines().size(), 6u);
}

// "Main" on the initial thread and on a registered main queue's thread; "Background" elsewhere.
TEST_F(LogTest, ThreadItemIsMainOnTheInitialThreadAndTheRegisteredMainQueue) {
    auto queues = std::make_shared<ThreadPoolDispatchQueues>();
    registerMainQueues(queues);
    auto threadItem = [&](const std::function<void(DispatchQueues::Task)>& run) {
        test::Delivery<std::string> line;
        run([&] {
            log("m", LogLevel::info, "U", 1, "f()");
            line.deliver(sink->lines().back());
        });
        const std::string text = line.wait().value_or("");
        return text.substr(text.rfind(" thread="));
    };
    EXPECT_EQ(threadItem([](auto task) { std::thread(task).join(); }), R"( thread="Background")");
    EXPECT_EQ(threadItem([](auto task) { task(); }), R"( thread="Main")");
    EXPECT_EQ(threadItem([&](auto task) { queues->asyncMain(task); }), R"( thread="Main")");
    EXPECT_EQ(threadItem([&](auto task) { queues->asyncGlobal(QualityOfService::utility, task); }),
              R"( thread="Background")");
    std::weak_ptr<ThreadPoolDispatchQueues> registered = queues;
    queues.reset();
    EXPECT_TRUE(registered.expired()) << "the log holds no strong reference";
}

// TZ is read once, at start-up: a later change never reaches a line, so no library thread reads
// the environment while a host may be changing it.
TEST_F(LogTest, TheTimeIsMountainTimeWhateverZoneTheProcessSets) {
    {
        test::ScopedEnv tz("TZ", "UTC0");
        ::tzset();
        log("utc", LogLevel::info, "U", 1, "f()");
        ::setenv("TZ", "EST5", 1);
        ::tzset();
        log("eastern", LogLevel::info, "U", 1, "f()");
    }
    ::tzset();
    const std::regex mountain(R"x(.*time="[^"]*-0[67]00" logLevel=.*)x");
    for (const auto& line : sink->lines())
        EXPECT_TRUE(std::regex_match(line, mountain)) << line;
}

struct ThrowingSink : LogSink {
    void write(LogLevel, const std::string&) override { throw std::runtime_error("disk full"); }
};

// A throwing sink never reaches the caller; concurrent lines all reach a sink that keeps them.
TEST(Log, ThrowingSinkNeverReachesTheCallerAndConcurrentLoggingLosesNoLine) {
    setLogSink(std::make_shared<ThrowingSink>());
    EXPECT_NO_THROW(log("lost", LogLevel::error, "U", 1, "f()"));
    auto sink = std::make_shared<MemoryLogSink>(10000);
    setLogSink(sink);
    for (std::vector<std::jthread> threads; threads.size() < 4;) // joined as the loop ends
        threads.emplace_back([] {
            for (int i = 0; i < 250; ++i)
                log("concurrent", LogLevel::info, "U", i, "f()");
        });
    setLogSink(nullptr);
    EXPECT_EQ(sink->count("concurrent"), 1000u);

    MemoryLogSink small(3); // keeps the newest lines up to its capacity
    for (int i = 0; i < 5; ++i)
        small.write(LogLevel::info, "line " + std::to_string(i));
    EXPECT_EQ(small.lines(), (std::vector<std::string>{"line 2", "line 3", "line 4"}));
    EXPECT_EQ(small.count("line"), 3u);
    small.clear();
    EXPECT_TRUE(small.lines().empty());
}

} // namespace
} // namespace velquor::detail
