#include "platform/linux/ThreadSerialQueue.hpp"
#include "platform/linux/ThreadPoolDispatchQueues.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>

namespace velquor::detail {
namespace {

using namespace std::chrono_literals;
using test::Delivery;
using test::Gate;
using test::waitUntil;

TEST(ThreadSerialQueue, ThrowingTasksDoNotEndTheQueue) {
    ThreadSerialQueue serial("test.throwing");
    serial.async([] { throw std::runtime_error("boom"); });
    serial.sync([] { throw std::runtime_error("boom in sync"); }); // swallowed, sync returns
    Delivery<bool> ran;
    serial.async([&] { ran.deliver(true); });
    EXPECT_TRUE(ran.wait().has_value());
}

TEST(ThreadSerialQueue, SyncFromItsOwnThreadRunsInline) {
    ThreadSerialQueue queue("test.reentrant");
    Delivery<std::vector<std::string>> outcome;
    queue.async([&] {
        std::vector<std::string> steps{"outer"};
        queue.sync([&] { steps.push_back("inner"); }); // would deadlock if it waited
        steps.push_back("after");
        outcome.deliver(steps);
    });
    EXPECT_EQ(outcome.wait(), (std::vector<std::string>{"outer", "inner", "after"}));
}

// An idle queue runs a sync task on the caller's thread; a task submitted meanwhile waits for it.
TEST(ThreadSerialQueue, SyncOnAnIdleQueueRunsOnTheCallerAndHoldsBackLaterTasks) {
    ThreadSerialQueue queue("test.inline");
    std::vector<std::string> steps; // one task at a time writes it
    Delivery<bool> later;
    const auto caller = std::this_thread::get_id();
    queue.sync([&] {
        EXPECT_TRUE(std::this_thread::get_id() == caller);
        queue.async([&] {
            steps.push_back("later");
            later.deliver(true);
        });
        std::this_thread::sleep_for(20ms); // room for a queue that did not wait to show it
        steps.push_back("sync");
    });
    ASSERT_TRUE(later.wait().has_value());
    EXPECT_EQ(steps, (std::vector<std::string>{"sync", "later"}));
}

TEST(ThreadSerialQueue, DestructionDropsPendingTasksAndReleasesSyncWaiters) {
    auto token = std::make_shared<int>();
    std::atomic<bool> droppedRan{false}, syncTaskRan{false}, runningFinished{false};
    Gate started;
    std::future<void> waiter;
    {
        ThreadSerialQueue queue("test.dropping");
        queue.async([&] {
            started.open();
            std::this_thread::sleep_for(60ms);
            runningFinished = true;
        });
        ASSERT_TRUE(started.wait());
        for (int i = 0; i < 10; ++i)
            queue.async([&, token] { droppedRan = true; });
        waiter = std::async(std::launch::async, [&] { queue.sync([&] { syncTaskRan = true; }); });
        ASSERT_TRUE(waitUntil([&] { return queue.pendingTaskCount() == 11; }));
    }
    EXPECT_TRUE(runningFinished);
    EXPECT_FALSE(droppedRan);
    EXPECT_EQ(token.use_count(), 1) << "dropped tasks were not destroyed";
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready) << "sync() waiter was never released";
    EXPECT_FALSE(syncTaskRan);
}

// The last reference dropped on the queue's own thread must not make it join itself.
TEST(ThreadSerialQueue, QueuesReleasedInsideTheirOwnTaskDoNotDeadlock) {
    auto pool = std::make_shared<ThreadPoolDispatchQueues>();
    auto serial = std::make_shared<ThreadSerialQueue>("test.self");
    Delivery<bool> poolReleased, serialReleased;
    auto* rawPool = pool.get();
    rawPool->asyncGlobal(QualityOfService::utility, [holder = std::move(pool), &poolReleased]() mutable {
        holder.reset();
        poolReleased.deliver(true);
    });
    auto* rawSerial = serial.get();
    rawSerial->async([holder = std::move(serial), &serialReleased]() mutable {
        holder.reset();
        serialReleased.deliver(true);
    });
    EXPECT_TRUE(poolReleased.wait().has_value());
    EXPECT_TRUE(serialReleased.wait().has_value());
}

} // namespace
} // namespace velquor::detail
