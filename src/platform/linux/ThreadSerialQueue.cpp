#include "platform/linux/ThreadSerialQueue.hpp"

#include "platform/linux/ProcessExit.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace velquor::detail {

struct ThreadSerialQueue::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable finished;
    std::deque<Task> tasks;
    bool started = false;
    bool running = false; // the thread exists and has not yet left its loop
    bool stopping = false;
    bool taskRunning = false; // the thread is running a task
    std::thread::id threadId;
    // A sync() task running on its caller's thread; the queue's own tasks wait for it.
    bool inlineRunning = false;
    std::thread::id inlineThreadId;
};

namespace {

void runGuarded(const SerialQueue::Task& task) noexcept {
    try {
        if (task)
            task();
    } catch (...) {
        // A failing task must not end the thread or the process; whoever submitted it logs.
    }
}

// Signals the waiting sync() caller when the last copy of its task is destroyed: after the task
// ran, or when it was dropped unrun.
struct SyncSignal {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
};

struct SyncGuard {
    std::shared_ptr<SyncSignal> signal;
    ~SyncGuard() {
        std::lock_guard lock(signal->mutex);
        signal->done = true;
        signal->cv.notify_all();
    }
};

void threadMain(std::shared_ptr<ThreadSerialQueue::State> state);

} // namespace

ThreadSerialQueue::ThreadSerialQueue(std::string label)
    : label_(std::move(label))
    , state_(std::make_shared<State>()) {
    ProcessExit::watch();
}

ThreadSerialQueue::~ThreadSerialQueue() {
    std::deque<Task> dropped;
    std::unique_lock lock(state_->mutex);
    state_->stopping = true;
    dropped.swap(state_->tasks);
    state_->wake.notify_all();
    const auto self = std::this_thread::get_id();
    const bool onOwnThread = (state_->running && state_->threadId == self) ||
                             (state_->inlineRunning && state_->inlineThreadId == self);
    lock.unlock();
    dropped.clear(); // outside the lock: a task's captures may submit or destroy other queues
    if (onOwnThread)
        return;
    lock.lock();
    state_->finished.wait(lock, [&] { return !state_->running && !state_->inlineRunning; });
}

void ThreadSerialQueue::async(Task task) {
    std::unique_lock lock(state_->mutex);
    if (state_->stopping || ProcessExit::exiting()) {
        lock.unlock();
        return; // `task` is destroyed here, unrun
    }
    state_->tasks.push_back(std::move(task));
    if (!state_->started) {
        try {
            std::thread(threadMain, state_).detach();
            state_->started = true;
            state_->running = true;
        } catch (const std::system_error&) {
            // No thread could be made now; the next submission tries again.
        }
    }
    state_->wake.notify_one();
}

void ThreadSerialQueue::sync(Task task) {
    if (isCurrent()) {
        runGuarded(task);
        return;
    }
    // An idle queue runs the task here, as exclusively as on its thread: handing it over would
    // cost a thread (made on first use) and two wake-ups for nothing. Everything submitted
    // earlier has run; whatever is submitted meanwhile waits for it.
    {
        std::unique_lock lock(state_->mutex);
        if (!state_->stopping && !ProcessExit::exiting() && state_->tasks.empty() && !state_->taskRunning &&
            !state_->inlineRunning) {
            state_->inlineRunning = true;
            state_->inlineThreadId = std::this_thread::get_id();
            const std::shared_ptr<State> state = state_; // the task may release the queue
            lock.unlock();
            runGuarded(task);
            task = nullptr;
            lock = std::unique_lock(state->mutex);
            state->inlineRunning = false;
            state->wake.notify_one();
            state->finished.notify_all();
            return;
        }
    }
    auto signal = std::make_shared<SyncSignal>();
    {
        // Built in place: a temporary SyncGuard would signal on its own destruction.
        std::shared_ptr<SyncGuard> guard(new SyncGuard{signal});
        async([task = std::move(task), guard] { runGuarded(task); });
    }
    std::unique_lock lock(signal->mutex);
    signal->cv.wait(lock, [&] { return signal->done; });
}

bool ThreadSerialQueue::isCurrent() const {
    std::lock_guard lock(state_->mutex);
    const auto self = std::this_thread::get_id();
    return (state_->running && state_->threadId == self) ||
           (state_->inlineRunning && state_->inlineThreadId == self);
}

std::size_t ThreadSerialQueue::pendingTaskCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->tasks.size();
}

namespace {

void threadMain(std::shared_ptr<ThreadSerialQueue::State> state) {
    {
        std::unique_lock lock(state->mutex);
        state->threadId = std::this_thread::get_id();
        for (;;) {
            state->wake.wait(
                lock, [&] { return state->stopping || (!state->tasks.empty() && !state->inlineRunning); });
            if (state->stopping || ProcessExit::exiting())
                break;
            SerialQueue::Task task = std::move(state->tasks.front());
            state->tasks.pop_front();
            state->taskRunning = true;
            lock.unlock();
            runGuarded(task);
            task = nullptr; // captures die outside the lock
            lock.lock();
            state->taskRunning = false;
        }
        state->running = false;
        state->finished.notify_all();
    }
    // `state` is released last, after the lock: this thread may hold the final reference.
}

} // namespace

} // namespace velquor::detail
