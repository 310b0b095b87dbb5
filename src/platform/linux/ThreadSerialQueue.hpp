// A serial queue backed by one thread of its own.
//
//   auto queue = std::make_shared<ThreadSerialQueue>("com.example.writer");
//   queue->async([] { appendToFile(); });
//   queue->sync([] { flush(); });   // waits; runs on the caller's thread when the queue is idle
#pragma once

#include <velquor/Platform.hpp>

#include <cstddef>
#include <memory>
#include <string>

namespace velquor::detail {

// Thread-safe. Tasks run one at a time, in submission order, on the queue's thread (started on
// the first async submission); a sync() task finding the queue idle runs on its caller's thread
// instead, the queue's own tasks waiting for it. A task that throws is caught and ignored; the
// thread carries on.
// Once the process has begun to exit (ProcessExit), no further task starts.
class ThreadSerialQueue final : public SerialQueue {
public:
    explicit ThreadSerialQueue(std::string label);
    // Drops the tasks not yet started (destroying them without running them) and waits for the
    // running task, if any, to finish. Called from a task of this queue, it does not wait: the
    // thread ends by itself after that task.
    ~ThreadSerialQueue() override;
    ThreadSerialQueue(const ThreadSerialQueue&) = delete;
    ThreadSerialQueue& operator=(const ThreadSerialQueue&) = delete;

    void async(Task task) override;
    // Waits until the task has run, or has been dropped because the queue was destroyed. From
    // the queue's own thread (or inside an inline sync task) the task runs inline at once:
    // waiting there would deadlock.
    void sync(Task task) override;

    // True on the thread that runs this queue's tasks, and inside a sync task run inline.
    bool isCurrent() const;
    // Tasks submitted and not yet started.
    std::size_t pendingTaskCount() const;
    const std::string& label() const { return label_; }

    struct State;

private:
    std::string label_;
    std::shared_ptr<State> state_;
};

} // namespace velquor::detail
