#include "device/Reachability.hpp"
#include "platform/linux/LinuxNotificationCenter.hpp"
#include "platform/linux/ThreadPoolDispatchQueues.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>

namespace velquor::detail {
namespace {

using Source = ReachabilityFlagSource;

// Flags set by the test (-1: the read fails). Thread-safe.
class ScriptedReference : public ReachabilityReference {
public:
    explicit ScriptedReference(std::optional<ReachabilityFlags> flags) { set(flags); }
    std::optional<ReachabilityFlags> flags() override {
        ++reads;
        const auto value = flags_.load();
        return value < 0 ? std::nullopt
                         : std::optional<ReachabilityFlags>(static_cast<ReachabilityFlags>(value));
    }
    void set(std::optional<ReachabilityFlags> flags) {
        flags_ = flags ? static_cast<std::int64_t>(*flags) : -1;
    }
    std::atomic<int> reads{0};

private:
    std::atomic<std::int64_t> flags_{-1};
};

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

    std::shared_ptr<Reachability> make(std::shared_ptr<ReachabilityReference> reference) {
        return Reachability::create(std::move(reference), QualityOfService::defaultQoS, queues, center);
    }

    // Holds the main queue until the returned gate opens.
    std::shared_ptr<test::Gate> blockMainQueue() {
        auto gate = std::make_shared<test::Gate>();
        queues->asyncMain([gate] { gate->wait(); });
        return gate;
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

    std::shared_ptr<LinuxNotificationCenter> center = std::make_shared<LinuxNotificationCenter>();
    std::mutex mutex;
    std::vector<const void*> senders;
    // Declared last so it is destroyed first: its destruction waits for a main-queue task that is
    // still posting into `senders`.
    std::shared_ptr<ThreadPoolDispatchQueues> queues = std::make_shared<ThreadPoolDispatchQueues>();
};

struct RuleCase {
    std::optional<ReachabilityFlags> flags;
    bool allowsCellular;
    Connection expected;
};

TEST_F(ReachabilityTest, ConnectionRuleForEveryFlagCombination) {
    const ReachabilityFlags R = Source::kReachable, required = Source::kConnectionRequired,
                            traffic = Source::kConnectionOnTraffic, demand = Source::kConnectionOnDemand,
                            intervention = Source::kInterventionRequired, wwan = Source::kIsWWAN;
    const RuleCase cases[] = {
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
    for (const auto& c : cases)
        EXPECT_EQ(Reachability::connectionFor(c.flags, c.allowsCellular), c.expected)
            << std::hex << c.flags.value_or(0xDEAD) << " cellular " << c.allowsCellular;
}

TEST_F(ReachabilityTest, FlagsAreReadOnceAndAFailedReadMeansNoConnection) {
    auto reference = std::make_shared<ScriptedReference>(Source::kReachable);
    auto reachability = make(reference);
    EXPECT_EQ(reachability->connection(), Connection::wifi);
    reference->set(0);
    // Stored flags answer later reads: the one-shot query never reads twice.
    EXPECT_EQ(reachability->connection(), Connection::wifi);
    EXPECT_EQ(reference->reads, 1);

    auto failing = std::make_shared<ScriptedReference>(std::nullopt);
    auto unreadable = make(failing);
    EXPECT_EQ(unreadable->connection(), Connection::none);
    EXPECT_FALSE(unreadable->flags());
    // Nothing was stored, so the next read tries again; the cellular setting is the object's.
    failing->set(Source::kReachable | Source::kIsWWAN);
    EXPECT_EQ(unreadable->connection(), Connection::cellular);
    auto noCellular = make(std::make_shared<ScriptedReference>(Source::kReachable | Source::kIsWWAN));
    noCellular->allowsCellularConnection = false;
    EXPECT_EQ(noCellular->connection(), Connection::none);
}

// The first read is announced once, on the main queue, to the matching handler; an object dropped
// before its announcement runs announces nothing.
TEST_F(ReachabilityTest, FirstReadIsAnnouncedOnceByALiveObject) {
    struct Case {
        ReachabilityFlags flags;
        bool keepAlive;
        Connection connection;
        int reachable, unreachable;
    };
    const Case cases[] = {{Source::kReachable, true, Connection::wifi, 1, 0},
                          {Source::kReachable | Source::kIsWWAN, true, Connection::none, 0, 1},
                          {Source::kReachable, false, Connection::wifi, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        std::atomic<int> reachableCalls{0}, unreachableCalls{0};
        std::atomic<bool> offMain{false};
        const std::size_t postedBefore = posted().size();
        const auto mainQueue = blockMainQueue();
        auto reachability = make(std::make_shared<ScriptedReference>(c.flags));
        reachability->allowsCellularConnection = false;
        reachability->setWhenReachable([&, expected = reachability.get()](Reachability& r) {
            offMain = offMain || !queues->isMainQueueThread() || &r != expected;
            ++reachableCalls;
        });
        reachability->setWhenUnreachable([&](Reachability&) { ++unreachableCalls; });
        EXPECT_EQ(reachability->connection(), c.connection);
        EXPECT_EQ(reachability->connection(), c.connection);
        const void* sender = reachability.get();
        if (!c.keepAlive)
            reachability.reset();
        mainQueue->open();
        drainMainQueue();
        auto senders = posted();
        senders.erase(senders.begin(), senders.begin() + static_cast<std::ptrdiff_t>(postedBefore));
        EXPECT_EQ(senders, c.keepAlive ? std::vector{sender} : std::vector<const void*>{});
        EXPECT_EQ(std::tuple(reachableCalls.load(), unreachableCalls.load(), offMain.load()),
                  std::tuple(c.reachable, c.unreachable, false));
    }
}

} // namespace
} // namespace velquor::detail
