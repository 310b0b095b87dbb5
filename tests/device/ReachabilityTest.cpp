#include "device/Reachability.hpp"

#include "DeviceTestSupport.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

using Source = ReachabilityFlagSource;

class ReachabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        center->addObserver(Reachability::kReachabilityChangedNotification,
                            [this](const std::string&, const void* sender) {
                                std::lock_guard lock(mutex);
                                senders.push_back(sender);
                            });
    }

    // Announcements already queued run before the fixture they post into goes away.
    void TearDown() override { drainMainQueue(); }

    // Over the real flag source, with a default route through `interfaceName` (none when empty).
    std::shared_ptr<Reachability> make(const std::string& interfaceName) {
        test::writeRoutes(routes.path(), interfaceName);
        return Reachability::create(LinuxReachabilityFlagSource(routes.path()).createWithAnyIPv4Address(),
                                    QualityOfService::defaultQoS, queues, center);
    }

    // Returns once every main task queued so far has run.
    void drainMainQueue() {
        test::Gate done;
        queues->asyncMain([&] { done.open(); });
        ASSERT_TRUE(done.wait()) << "main queue did not run";
    }

    std::vector<const void*> posted() {
        std::lock_guard lock(mutex);
        return senders;
    }

    test::TempDir routes;
    std::shared_ptr<LinuxNotificationCenter> center = std::make_shared<LinuxNotificationCenter>();
    std::mutex mutex;
    std::vector<const void*> senders;
    // Declared last so it is destroyed first: its destruction waits for a main-queue task that is
    // still posting into `senders`.
    std::shared_ptr<ThreadPoolDispatchQueues> queues = std::make_shared<ThreadPoolDispatchQueues>();
};

TEST_F(ReachabilityTest, ConnectionRuleForEveryFlagCombination) {
    const ReachabilityFlags R = Source::kReachable, required = Source::kConnectionRequired,
                            traffic = Source::kConnectionOnTraffic, demand = Source::kConnectionOnDemand,
                            intervention = Source::kInterventionRequired, wwan = Source::kIsWWAN;
    // The flags, whether cellular is allowed, and the connection.
    const std::tuple<std::optional<ReachabilityFlags>, bool, Connection> cases[] = {
        {R, true, Connection::wifi},
        {R | required, true, Connection::none},
        {R | required | demand, true, Connection::wifi},
        {R | required | demand | intervention, true, Connection::none},
        {R | required | traffic, true, Connection::wifi},
        {R | required | traffic | intervention, true, Connection::none},
        {R | demand | intervention, true, Connection::wifi},
        {R | wwan, true, Connection::cellular},
        {R | wwan, false, Connection::none},
        {R | wwan | required, true, Connection::cellular},
        {R | wwan | required | intervention, true, Connection::cellular},
        {required | traffic | demand | wwan, true, Connection::none},
        {wwan, true, Connection::none},
        {0, true, Connection::none},
        {std::nullopt, true, Connection::none},
        {~R, true, Connection::none},
        {R, false, Connection::wifi},
    };
    for (const auto& [flags, allowsCellular, expected] : cases)
        EXPECT_EQ(Reachability::connectionFor(flags, allowsCellular), expected)
            << std::hex << flags.value_or(0xDEAD) << " cellular " << allowsCellular;
}

TEST_F(ReachabilityTest, FlagsAreReadOnceAndAFailedReadMeansNoConnection) {
    auto reachability = make("eth0");
    EXPECT_EQ(reachability->connection(), Connection::wifi);
    test::writeRoutes(routes.path(), "");
    // Stored flags answer later reads: the one-shot query never reads twice.
    EXPECT_EQ(reachability->connection(), Connection::wifi);

    // A reference answers its first read with what it read when made: use that up, then take the
    // table away.
    auto reference = LinuxReachabilityFlagSource(routes.path()).createWithAnyIPv4Address();
    ASSERT_EQ(reference->flags(), 0u);
    std::filesystem::remove(routes.path() / "proc/net/route");
    auto unreadable = Reachability::create(reference, QualityOfService::defaultQoS, queues, center);
    EXPECT_EQ(unreadable->connection(), Connection::none);
    EXPECT_FALSE(unreadable->flags());
    // Nothing was stored, so the next read tries again. Refusing cellular is the next test's.
    test::writeRoutes(routes.path(), "wwan0");
    EXPECT_EQ(unreadable->connection(), Connection::cellular);
}

// The first read is announced once, on the main queue, to the matching handler; an object dropped
// before its announcement runs announces nothing.
TEST_F(ReachabilityTest, FirstReadIsAnnouncedOnceByALiveObject) {
    // The default route's interface, whether the object is kept, its connection and the calls of
    // each handler.
    const std::tuple<const char*, bool, Connection, int, int> cases[] = {
        {"eth0", true, Connection::wifi, 1, 0},
        {"wwan0", true, Connection::none, 0, 1},
        {"eth0", false, Connection::wifi, 0, 0}};
    for (const auto& [interfaceName, keepAlive, connection, reachable, unreachable] : cases) {
        SCOPED_TRACE(interfaceName);
        std::atomic<int> reachableCalls{0}, unreachableCalls{0};
        std::atomic<bool> offMain{false};
        const std::size_t postedBefore = posted().size();
        const auto mainQueue = std::make_shared<test::Gate>(); // holds the main queue until opened
        queues->asyncMain([mainQueue] { mainQueue->wait(); });
        auto reachability = make(interfaceName);
        reachability->allowsCellularConnection = false;
        reachability->setWhenReachable([&, expected = reachability.get()](Reachability& r) {
            offMain = offMain || !queues->isMainQueueThread() || &r != expected;
            ++reachableCalls;
        });
        reachability->setWhenUnreachable([&](Reachability&) { ++unreachableCalls; });
        EXPECT_EQ(reachability->connection(), connection);
        EXPECT_EQ(reachability->connection(), connection);
        const void* sender = reachability.get();
        if (!keepAlive)
            reachability.reset();
        mainQueue->open();
        drainMainQueue();
        auto senders = posted();
        senders.erase(senders.begin(), senders.begin() + static_cast<std::ptrdiff_t>(postedBefore));
        EXPECT_EQ(senders, keepAlive ? std::vector{sender} : std::vector<const void*>{});
        EXPECT_EQ(std::tuple(reachableCalls.load(), unreachableCalls.load(), offMain.load()),
                  std::tuple(reachable, unreachable, false));
    }
}

} // namespace
} // namespace velquor::detail
