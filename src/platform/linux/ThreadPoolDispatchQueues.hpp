// The Linux dispatch queues: a global concurrent queue on a pool of worker threads, a main
// serial queue on a thread of its own with delayed submission, and serial queues on demand.
//
//   auto queues = ThreadPoolDispatchQueues::processWide();
//   queues->asyncGlobal(QualityOfService::userInitiated, [] { runFlow(); });
//   queues->asyncMainAfter(std::chrono::seconds(1), [] { refresh(); });
#pragma once

#include <velquor/Platform.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace velquor::detail {

// Thread-safe. Global tasks run on the pool's worker threads, higher quality of service first
// and in submission order within one quality of service; the pool grows while every worker is
// busy (so a task that waits for another global task cannot starve the pool) up to
// `maximumWorkers`, and workers above `minimumWorkers` retire after `idleTimeout`. Main tasks
// run one at a time on the main queue's thread, in order of due time, then submission order.
// Threads start on first use. A task that throws is caught and ignored; no thread ever ends the
// process. Once the process has begun to exit (ProcessExit), no further task starts.
class ThreadPoolDispatchQueues final : public DispatchQueues {
public:
    struct Options {
        std::size_t minimumWorkers = 4;
        std::size_t maximumWorkers = 64;
        std::chrono::milliseconds idleTimeout{10000};
    };

    ThreadPoolDispatchQueues();
    explicit ThreadPoolDispatchQueues(Options options);
    // Drops every task not yet started (destroyed without running, delayed ones included) and
    // waits for the running ones to finish; the threads have left when it returns. Called from
    // one of this instance's own tasks it waits for the other threads only.
    ~ThreadPoolDispatchQueues() override;
    ThreadPoolDispatchQueues(const ThreadPoolDispatchQueues&) = delete;
    ThreadPoolDispatchQueues& operator=(const ThreadPoolDispatchQueues&) = delete;

    // The process's instance. It is created on first use and deliberately never destroyed:
    // destroying it at exit would either wait for tasks in flight (a hang, when one waits on the
    // network) or free state that running tasks still use (a crash). Its threads are left to
    // the end of the process; tasks still queued at exit are abandoned.
    static std::shared_ptr<ThreadPoolDispatchQueues> processWide();

    void asyncGlobal(QualityOfService qos, Task task) override;
    void asyncMain(Task task) override;
    void asyncMainAfter(std::chrono::milliseconds delay, Task task) override;
    bool isMainQueueThread() const override;
    // A ThreadSerialQueue; its lifetime is the returned handle's, independent of this instance.
    std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& label, QualityOfService qos) override;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace velquor::detail
