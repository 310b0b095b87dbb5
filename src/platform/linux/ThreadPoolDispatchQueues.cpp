#include "platform/linux/ThreadPoolDispatchQueues.hpp"

#include "platform/linux/ProcessExit.hpp"
#include "platform/linux/ThreadSerialQueue.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace velquor::detail {

namespace {

constexpr std::size_t kQoSCount = 5;

using Clock = std::chrono::steady_clock;

struct TimedTask {
    Clock::time_point due;
    std::uint64_t sequence;
    DispatchQueues::Task task;
};

// Heap order for std::push_heap: the earliest due time on top, then the earliest submission.
bool laterThan(const TimedTask& a, const TimedTask& b) {
    if (a.due != b.due)
        return a.due > b.due;
    return a.sequence > b.sequence;
}

void runGuarded(const DispatchQueues::Task& task) noexcept {
    try {
        if (task)
            task();
    } catch (...) {
        // A failing task must not end the thread or the process; whoever submitted it logs.
    }
}

// The instance whose task the current thread is running, so the destructor can tell that it
// is called from one of its own threads.
thread_local const void* tCurrentState = nullptr;

} // namespace

struct ThreadPoolDispatchQueues::State {
    Options options;
    std::mutex mutex;
    std::condition_variable workAvailable;
    std::condition_variable mainWake;
    std::condition_variable threadsDone;
    bool stopping = false;

    // Global queue: one FIFO per quality of service, highest index served first.
    std::array<std::deque<Task>, kQoSCount> global;
    std::size_t pendingGlobal = 0;
    std::size_t workers = 0;
    std::size_t idleWorkers = 0;

    // Main queue.
    std::vector<TimedTask> mainHeap;
    std::uint64_t nextSequence = 0;
    bool mainStarted = false;
    std::thread::id mainThreadId;

    // Threads that have not yet left their loop (workers and the main thread).
    std::size_t liveThreads = 0;
};

namespace {

using State = ThreadPoolDispatchQueues::State;

bool takeGlobal(State& state, DispatchQueues::Task& task) {
    for (std::size_t i = kQoSCount; i-- > 0;) {
        auto& fifo = state.global[i];
        if (!fifo.empty()) {
            task = std::move(fifo.front());
            fifo.pop_front();
            --state.pendingGlobal;
            return true;
        }
    }
    return false;
}

void workerMain(std::shared_ptr<State> state) {
    tCurrentState = state.get();
    {
        std::unique_lock lock(state->mutex);
        for (;;) {
            if (state->stopping || ProcessExit::exiting())
                break;
            DispatchQueues::Task task;
            if (takeGlobal(*state, task)) {
                lock.unlock();
                // Looked at again as late as possible: exit may have begun since the check above.
                if (!ProcessExit::exiting())
                    runGuarded(task);
                task = nullptr; // captures die outside the lock
                lock.lock();
                continue;
            }
            ++state->idleWorkers;
            const bool woken = state->workAvailable.wait_for(lock, state->options.idleTimeout, [&] {
                return state->stopping || state->pendingGlobal > 0;
            });
            --state->idleWorkers;
            if (!woken && state->workers > state->options.minimumWorkers)
                break;
        }
        --state->workers;
        --state->liveThreads;
        state->threadsDone.notify_all();
    }
    // `state` is released last, after the lock: this thread may hold the final reference.
}

void mainQueueMain(std::shared_ptr<State> state) {
    tCurrentState = state.get();
    {
        std::unique_lock lock(state->mutex);
        state->mainThreadId = std::this_thread::get_id();
        for (;;) {
            if (state->stopping || ProcessExit::exiting())
                break;
            if (state->mainHeap.empty()) {
                state->mainWake.wait(lock);
                continue;
            }
            const auto due = state->mainHeap.front().due;
            if (Clock::now() < due) {
                state->mainWake.wait_until(lock, due);
                continue;
            }
            std::pop_heap(state->mainHeap.begin(), state->mainHeap.end(), laterThan);
            DispatchQueues::Task task = std::move(state->mainHeap.back().task);
            state->mainHeap.pop_back();
            lock.unlock();
            runGuarded(task);
            task = nullptr;
            lock.lock();
        }
        --state->liveThreads;
        state->threadsDone.notify_all();
    }
}

bool startThread(void (*body)(std::shared_ptr<State>), const std::shared_ptr<State>& state) {
    try {
        std::thread(body, state).detach();
        ++state->liveThreads;
        return true;
    } catch (const std::system_error&) {
        return false; // no thread now; a later submission tries again
    }
}

} // namespace

ThreadPoolDispatchQueues::ThreadPoolDispatchQueues()
    : ThreadPoolDispatchQueues(Options{}) {}

ThreadPoolDispatchQueues::ThreadPoolDispatchQueues(Options options)
    : state_(std::make_shared<State>()) {
    options.maximumWorkers = std::max<std::size_t>(1, options.maximumWorkers);
    options.minimumWorkers = std::min(options.minimumWorkers, options.maximumWorkers);
    state_->options = options;
    ProcessExit::watch();
}

ThreadPoolDispatchQueues::~ThreadPoolDispatchQueues() {
    std::array<std::deque<Task>, kQoSCount> droppedGlobal;
    std::vector<TimedTask> droppedMain;
    std::unique_lock lock(state_->mutex);
    state_->stopping = true;
    droppedGlobal.swap(state_->global);
    droppedMain.swap(state_->mainHeap);
    state_->pendingGlobal = 0;
    state_->workAvailable.notify_all();
    state_->mainWake.notify_all();
    lock.unlock();
    // Outside the lock: a dropped task's captures may submit work or destroy other queues.
    droppedGlobal = {};
    droppedMain.clear();
    const std::size_t own = tCurrentState == state_.get() ? 1 : 0;
    lock.lock();
    state_->threadsDone.wait(lock, [&] { return state_->liveThreads <= own; });
}

std::shared_ptr<ThreadPoolDispatchQueues> ThreadPoolDispatchQueues::processWide() {
    // Leaked on purpose (see the header): no destructor runs at exit.
    static auto* const instance =
        new std::shared_ptr<ThreadPoolDispatchQueues>(std::make_shared<ThreadPoolDispatchQueues>());
    return *instance;
}

void ThreadPoolDispatchQueues::asyncGlobal(QualityOfService qos, Task task) {
    auto index = static_cast<std::size_t>(qos);
    if (index >= kQoSCount)
        index = static_cast<std::size_t>(QualityOfService::defaultQoS);
    // Once the lock is released, a task may already have destroyed this object: the wake-up goes
    // through a reference of our own to the state. It is sent after the release, so the woken
    // worker does not block at once on the lock this thread still holds.
    const std::shared_ptr<State> state = state_;
    std::unique_lock lock(state->mutex);
    if (state->stopping || ProcessExit::exiting()) {
        lock.unlock();
        return; // `task` is destroyed here, unrun
    }
    state->global[index].push_back(std::move(task));
    ++state->pendingGlobal;
    if (state->pendingGlobal > state->idleWorkers && state->workers < state->options.maximumWorkers) {
        if (startThread(workerMain, state))
            ++state->workers;
    }
    lock.unlock();
    state->workAvailable.notify_one();
}

void ThreadPoolDispatchQueues::asyncMain(Task task) {
    asyncMainAfter(std::chrono::milliseconds(0), std::move(task));
}

void ThreadPoolDispatchQueues::asyncMainAfter(std::chrono::milliseconds delay, Task task) {
    // Clamped so that the due time cannot overflow; a year is "never" for a process.
    const auto due = Clock::now() + std::clamp(delay, std::chrono::milliseconds(0),
                                               std::chrono::milliseconds(std::chrono::hours(24 * 365)));
    const std::shared_ptr<State> state = state_; // as in asyncGlobal
    std::unique_lock lock(state->mutex);
    if (state->stopping || ProcessExit::exiting()) {
        lock.unlock();
        return;
    }
    state->mainHeap.push_back(TimedTask{due, state->nextSequence++, std::move(task)});
    std::push_heap(state->mainHeap.begin(), state->mainHeap.end(), laterThan);
    if (!state->mainStarted)
        state->mainStarted = startThread(mainQueueMain, state);
    lock.unlock();
    state->mainWake.notify_one();
}

bool ThreadPoolDispatchQueues::isMainQueueThread() const {
    std::lock_guard lock(state_->mutex);
    return state_->mainStarted && state_->mainThreadId == std::this_thread::get_id();
}

std::shared_ptr<SerialQueue> ThreadPoolDispatchQueues::makeSerialQueue(const std::string& label,
                                                                       QualityOfService /*qos*/) {
    // Every thread here runs at the same scheduling priority; the quality of service only
    // orders the global queue.
    return std::make_shared<ThreadSerialQueue>(label);
}

} // namespace velquor::detail
