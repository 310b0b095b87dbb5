// The dispatch queues and the serial queues they make.
#include "platform/linux/ThreadPoolDispatchQueues.hpp"
#include "platform/linux/ThreadSerialQueue.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace velquor::detail {
namespace {

using namespace std::chrono_literals;
using namespace test;
using Task = DispatchQueues::Task;

const ThreadPoolDispatchQueues::Options kSingleWorker{.minimumWorkers = 1, .maximumWorkers = 1};

// 300 tasks through `submit` run one at a time, in submission order, all on the thread that ran
// the first, for which `onQueue` holds. A task that breaks this journals a note beside its number.
void expectOneAtATimeInOrder(const std::function<void(Task)>& submit, const std::function<bool()>& onQueue) {
    // Shared with the tasks: the last one is still finishing when the journal is complete.
    auto journal = std::make_shared<Journal>();
    auto inFlight = std::make_shared<std::atomic<int>>(0);
    auto thread = std::make_shared<std::atomic<std::thread::id>>();
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        expected.push_back(std::to_string(i));
        submit([=] {
            std::thread::id first;
            thread->compare_exchange_strong(first, std::this_thread::get_id());
            const bool alone = ++*inFlight == 1, same = *thread == std::this_thread::get_id();
            journal->add(std::to_string(i) + (alone && same && onQueue() ? "" : " overlapped, moved or off"));
            if (i % 100 == 0)
                std::this_thread::yield();
            --*inFlight;
        });
    }
    ASSERT_TRUE(waitUntil([&] { return journal->entries().size() == 300; }));
    EXPECT_EQ(journal->entries(), expected);
}

TEST(ThreadPoolDispatchQueues, GrowsSoATaskWaitingForAnotherGlobalTaskIsNotStarved) {
    ThreadPoolDispatchQueues queues({.minimumWorkers = 1, .maximumWorkers = 4});
    Gate second;
    Delivery<bool> firstDone;
    queues.asyncGlobal(QualityOfService::userInitiated, [&] { firstDone.deliver(second.wait(5s)); });
    queues.asyncGlobal(QualityOfService::userInitiated, [&] { second.open(); });
    EXPECT_EQ(firstDone.wait(), true);
}

TEST(ThreadPoolDispatchQueues, ServesHigherQualityOfServiceFirstAndFifoWithinOne) {
    ThreadPoolDispatchQueues queues(kSingleWorker);
    Gate gate, holding;
    Journal journal;
    queues.asyncGlobal(QualityOfService::background, [&] {
        holding.open();
        gate.wait();
    });
    // The only worker is held by the gate task: everything below is queued before any runs.
    ASSERT_TRUE(holding.wait());
    const auto caller = std::this_thread::get_id();
    // A task run on the calling thread would show as "caller".
    auto add = [&](const char* entry) {
        return [&, entry] {
            journal.add(std::this_thread::get_id() == caller ? "caller" : entry);
        };
    };
    queues.asyncGlobal(QualityOfService::background, add("background"));
    queues.asyncGlobal(QualityOfService::utility, add("utility-1"));
    queues.asyncGlobal(QualityOfService::userInteractive, add("interactive"));
    queues.asyncGlobal(QualityOfService::utility, add("utility-2"));
    queues.asyncGlobal(QualityOfService::userInitiated, add("initiated"));
    queues.asyncGlobal(QualityOfService::defaultQoS, add("default"));
    gate.open();
    ASSERT_TRUE(waitUntil([&] { return journal.entries().size() == 6; }));
    EXPECT_EQ(journal.entries(), (std::vector<std::string>{"interactive", "initiated", "default", "utility-1",
                                                           "utility-2", "background"}));
}

TEST(ThreadPoolDispatchQueues, MainAndSerialQueuesRunTasksOneAtATimeInOrderOnTheirOwnThreads) {
    ThreadPoolDispatchQueues queues;
    expectOneAtATimeInOrder([&](Task task) { queues.asyncMain(std::move(task)); },
                            [&] { return queues.isMainQueueThread(); });
    EXPECT_FALSE(queues.isMainQueueThread());
    auto serial = queues.makeSerialQueue("test.serial", QualityOfService::utility);
    expectOneAtATimeInOrder([&](Task task) { serial->async(std::move(task)); }, [] { return true; });
}

TEST(ThreadPoolDispatchQueues, DelayedMainTasksRunByDueTimeAndNotBefore) {
    ThreadPoolDispatchQueues queues;
    Journal journal;
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> lateTooEarly{false};
    queues.asyncMainAfter(120ms, [&] {
        lateTooEarly = std::chrono::steady_clock::now() - start < 120ms;
        journal.add("late");
    });
    queues.asyncMainAfter(40ms, [&] { journal.add("soon-1"); });
    queues.asyncMain([&] { journal.add("now"); });
    queues.asyncMainAfter(40ms, [&] { journal.add("soon-2"); });
    queues.asyncMainAfter(-5ms, [&] { journal.add("negative-delay"); });
    ASSERT_TRUE(waitUntil([&] { return journal.entries().size() == 5; }));
    EXPECT_EQ(journal.entries(),
              (std::vector<std::string>{"now", "negative-delay", "soon-1", "soon-2", "late"}));
    EXPECT_FALSE(lateTooEarly);
}

// Nor does a throwing task end a serial queue; sync() returns after one.
TEST(ThreadPoolDispatchQueues, ThrowingTasksDoNotEndTheirThreadsOrQueues) {
    ThreadPoolDispatchQueues queues(kSingleWorker);
    auto serial = queues.makeSerialQueue("test.throwing", QualityOfService::utility);
    Delivery<std::thread::id> ran[5];
    const auto throwing = [&](int i, auto exception) {
        return [&, i, exception] {
            ran[i].deliver(std::this_thread::get_id());
            throw exception;
        };
    };
    queues.asyncGlobal(QualityOfService::utility, throwing(0, std::runtime_error("task failure")));
    queues.asyncGlobal(QualityOfService::utility, throwing(1, 42)); // not even an exception class
    queues.asyncMain(throwing(2, std::logic_error("main failure")));
    queues.asyncMain([&] { ran[3].deliver(std::this_thread::get_id()); });
    serial->async([] { throw std::runtime_error("boom"); });
    serial->sync([] { throw std::runtime_error("boom in sync"); });
    serial->async([&] { ran[4].deliver(std::this_thread::get_id()); });
    auto a = ran[0].wait(), b = ran[1].wait(), c = ran[2].wait(), d = ran[3].wait();
    ASSERT_TRUE(a && b && c && d && ran[4].wait());
    EXPECT_EQ(*a, *b); // the single worker survived the throw
    EXPECT_EQ(*c, *d);
}

// Dropped tasks hold copies of a shared token: its use count shows whether they were destroyed.
// The pool drops delayed main tasks too; a serial queue releases the callers waiting in sync().
TEST(ThreadPoolDispatchQueues, DestructionOfAPoolOrSerialQueueDropsPendingTasksAndWaitsForRunningOnes) {
    auto token = std::make_shared<int>();
    std::atomic<int> droppedRan{0}, runningFinished{0};
    std::atomic<bool> syncTaskRan{false};
    const auto running = [&](Gate& started) {
        return [&] {
            started.open();
            std::this_thread::sleep_for(50ms);
            ++runningFinished;
        };
    };
    Gate poolStarted, serialStarted;
    {
        ThreadPoolDispatchQueues queues(kSingleWorker);
        queues.asyncGlobal(QualityOfService::utility, running(poolStarted));
        ASSERT_TRUE(poolStarted.wait());
        for (int i = 0; i < 20; ++i)
            queues.asyncGlobal(QualityOfService::userInteractive, [&, token] { ++droppedRan; });
        queues.asyncMainAfter(10s, [&, token] { ++droppedRan; });
        queues.asyncMainAfter(20s, [&, token] { ++droppedRan; });
    }
    EXPECT_EQ(runningFinished.load(), 1) << "the pool's destructor returned while a task was still running";
    std::future<void> waiter;
    {
        ThreadSerialQueue queue("test.dropping");
        queue.async(running(serialStarted));
        ASSERT_TRUE(serialStarted.wait());
        for (int i = 0; i < 10; ++i)
            queue.async([&, token] { ++droppedRan; });
        waiter = std::async(std::launch::async, [&] { queue.sync([&] { syncTaskRan = true; }); });
        ASSERT_TRUE(waitUntil([&] { return queue.pendingTaskCount() == 11; }));
    }
    EXPECT_EQ(runningFinished.load(), 2) << "the serial queue's destructor returned while a task was running";
    EXPECT_EQ(droppedRan.load(), 0);
    EXPECT_EQ(token.use_count(), 1) << "dropped tasks were not destroyed";
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready) << "sync() waiter was never released";
    EXPECT_FALSE(syncTaskRan);
}

// An idle queue runs a sync task on the caller's thread, and a task submitted meanwhile waits for
// it; sync from the queue's own thread runs inline.
TEST(ThreadSerialQueue, SyncRunsOnTheCallerWhenIdleAndInlineOnItsOwnThread) {
    ThreadSerialQueue queue("test.sync");
    std::vector<std::string> steps; // one task at a time writes it
    Delivery<bool> later;
    const auto caller = std::this_thread::get_id();
    queue.sync([&] {
        EXPECT_TRUE(std::this_thread::get_id() == caller);
        queue.async([&] {
            steps.push_back("later");
            queue.sync([&] { steps.push_back("inner"); }); // would deadlock if it waited
            later.deliver(true);
        });
        std::this_thread::sleep_for(20ms); // room for a queue that did not wait to show it
        steps.push_back("sync");
    });
    ASSERT_TRUE(later.wait().has_value());
    EXPECT_EQ(steps, (std::vector<std::string>{"sync", "later", "inner"}));
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
