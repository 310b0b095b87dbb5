// The log entry point: what reaches the sink, the line's items, text repair, and the thread item.
#include "log/Log.hpp"
#include "log/MemoryLogSink.hpp"

#include "remote/ErrorBuilder.hpp"
#include "velquor_build/BuildConstants.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace velquor::detail {
namespace {

class LogEntryPoint : public testing::Test {
protected:
    void SetUp() override { setLogSink(sink); }
    void TearDown() override { setLogSink(nullptr); }

    std::shared_ptr<MemoryLogSink> sink = std::make_shared<MemoryLogSink>();
};

TEST_F(LogEntryPoint, OnlyInfoWarningAndErrorReachTheSink) {
    log("verbose", LogLevel::verbose, "Core/A", 1, "f()");
    log("debug", LogLevel::debug, "Core/A", 2, "f()");
    log("out of range", static_cast<LogLevel>(7), "Core/A", 3, "f()");
    log("out of range", static_cast<LogLevel>(-1), "Core/A", 3, "f()");
    log("info", LogLevel::info, "Core/A", 4, "f()");
    log("warning", LogLevel::warning, "Core/A", 5, "f()");
    log("error", LogLevel::error, "Core/A", 6, "f()");
    auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(R"(logLevel="INFO" info )"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(R"(logLevel="WARNING" warning )"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(R"(logLevel="ERROR" error )"), std::string::npos) << lines[2];
}

TEST_F(LogEntryPoint, LineCarriesTheItemsInOrder) {
    VQ_LOG(LogLevel::info, "Core/LogicLayer", "pair(withPairingKey:completionHandler:)", "pairingKey=01AB");
    const int line = __LINE__ - 1;
    auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string& text = lines[0];
    EXPECT_EQ(text.rfind("[Velquor] time=\"", 0), 0u) << text;
    const std::string tail = R"x( logLevel="INFO" pairingKey=01AB file="LogicLayer")x"
                             R"x( method="pair(withPairingKey:completionHandler:)" line=")x" +
                             std::to_string(line) +
                             R"x(" deviceFp="" mobileDeviceId="" appId="" sdkVersion=")x" +
                             build::kSdkVersion +
                             R"x(" appVersion="" bundleID="" ApiVersion="v1" osVersion="unknown" model="")x"
                             R"x( rawDevice="unknown" thread="Main")x";
    EXPECT_NE(text.find(tail), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << "the thread item closes the line";
    // time="yyyy-MM-dd HH:mm:ss.SSS+zzzz"
    const std::string time = text.substr(16, text.find('"', 16) - 16);
    ASSERT_EQ(time.size(), 28u) << time;
    EXPECT_EQ(time[4], '-');
    EXPECT_EQ(time[10], ' ');
    EXPECT_EQ(time[19], '.');
    EXPECT_TRUE(time[23] == '+' || time[23] == '-') << time;
}

TEST_F(LogEntryPoint, FileIsTheLastPathComponentOnly) {
    log("m", LogLevel::info, "/a/b/c/Keychain.cpp", 1, "f()");
    log("m", LogLevel::info, "NoSlash", 1, "f()");
    log("m", LogLevel::info, "trailing/", 1, "f()");
    auto lines = sink->lines();
    EXPECT_NE(lines[0].find(R"(file="Keychain.cpp")"), std::string::npos);
    EXPECT_NE(lines[1].find(R"(file="NoSlash")"), std::string::npos);
    EXPECT_NE(lines[2].find(R"(file="")"), std::string::npos);
}

TEST_F(LogEntryPoint, InvalidUtf8IsReplacedNeverThrown) {
    std::string broken = "ab\xC3\x28 \xFF end";
    EXPECT_NO_THROW(log(broken, LogLevel::warning, std::string("Core/\xFE"), 1, std::string("op\x80()")));
    auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("ab\xEF\xBF\xBD( \xEF\xBF\xBD end"), std::string::npos);
    EXPECT_NE(lines[0].find("file=\"\xEF\xBF\xBD\""), std::string::npos);
    EXPECT_NE(lines[0].find("method=\"op\xEF\xBF\xBD()\""), std::string::npos);
    std::string embeddedNul("a\0b", 3);
    log(embeddedNul, LogLevel::info, "U", 1, "f()");
    EXPECT_EQ(sink->lines().size(), 2u);
}

TEST_F(LogEntryPoint, ErrorsAreLoggedByTheirDescription) {
    Error error = ErrorBuilder::build(ErrorCode::deviceNotPaired, 51);
    log(error, LogLevel::error, "Core/LogicLayer", 9, "getDeviceInfo(completionHandler:)");
    log(error, LogLevel::debug, "Core/LogicLayer", 9, "getDeviceInfo(completionHandler:)");
    auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(
        lines[0].find(R"(Error Domain=VelquorErrorDomain Code=10008 "Device is not paired." UserInfo={)"),
        std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find(R"("internalErrorCode":20051)"), std::string::npos);
}

TEST_F(LogEntryPoint, ThreadItemIsBackgroundOffTheInitialThread) {
    std::thread([] { log("from a worker", LogLevel::info, "U", 1, "f()"); }).join();
    log("from the initial thread", LogLevel::info, "U", 1, "f()");
    auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 20), R"( thread="Background")");
    EXPECT_EQ(lines[1].substr(lines[1].size() - 14), R"( thread="Main")");
}

// A main queue whose "main thread" is whichever thread the test says.
class FakeMainQueue : public DispatchQueues {
public:
    explicit FakeMainQueue(std::thread::id main)
        : main_(main) {}
    void asyncGlobal(QualityOfService, Task) override {}
    void asyncMain(Task) override {}
    void asyncMainAfter(std::chrono::milliseconds, Task) override {}
    bool isMainQueueThread() const override { return std::this_thread::get_id() == main_; }
    std::shared_ptr<SerialQueue> makeSerialQueue(const std::string&, QualityOfService) override {
        return nullptr;
    }

private:
    std::thread::id main_;
};

TEST_F(LogEntryPoint, ThreadItemIsMainOnTheMainQueuesThreadWhileItLives) {
    std::mutex mutex;
    std::condition_variable cv;
    int step = 0;
    std::thread mainQueueThread([&] {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return step == 1; });
        log("on the main queue", LogLevel::info, "U", 1, "f()");
        step = 2;
        cv.notify_all();
        cv.wait(lock, [&] { return step == 3; });
        log("main queue gone", LogLevel::info, "U", 1, "f()");
        step = 4;
        cv.notify_all();
    });
    auto queues = std::make_shared<FakeMainQueue>(mainQueueThread.get_id());
    registerMainQueues(queues);
    {
        std::unique_lock lock(mutex);
        step = 1;
        cv.notify_all();
        cv.wait(lock, [&] { return step == 2; });
        queues.reset(); // the log holds no strong reference
        step = 3;
        cv.notify_all();
        cv.wait(lock, [&] { return step == 4; });
    }
    mainQueueThread.join();
    auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(R"(thread="Main")"), std::string::npos);
    EXPECT_NE(lines[1].find(R"(thread="Background")"), std::string::npos);
}

class ThrowingSink : public LogSink {
public:
    void write(LogLevel, const std::string&) override { throw std::runtime_error("disk full"); }
};

TEST(LogSinks, ThrowingSinkNeverReachesTheCaller) {
    setLogSink(std::make_shared<ThrowingSink>());
    EXPECT_NO_THROW(log("lost", LogLevel::error, "U", 1, "f()"));
    setLogSink(nullptr);
}

TEST(LogSinks, MemorySinkKeepsTheNewestLinesUpToItsCapacity) {
    MemoryLogSink sink(3);
    for (int i = 0; i < 5; ++i)
        sink.write(LogLevel::info, "line " + std::to_string(i));
    EXPECT_EQ(sink.lines(), (std::vector<std::string>{"line 2", "line 3", "line 4"}));
    EXPECT_EQ(sink.count("line"), 3u);
    sink.clear();
    EXPECT_TRUE(sink.lines().empty());
}

TEST(LogSinks, ConcurrentLoggingLosesNoLine) {
    auto sink = std::make_shared<MemoryLogSink>(10000);
    setLogSink(sink);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 250; ++i)
                log("concurrent", LogLevel::info, "U", i, "f()");
        });
    for (auto& thread : threads)
        thread.join();
    setLogSink(nullptr);
    EXPECT_EQ(sink->count("concurrent"), 1000u);
}

} // namespace
} // namespace velquor::detail
