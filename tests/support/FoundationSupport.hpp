// Helpers for the foundation tests: a started LogicLayer over memory or temp-dir services, a
// console that keeps its lines, a log sink installed for one test, and dispatch queues that mark
// the threads running global tasks and hold delayed main tasks until the test runs them.
#pragma once

#include "flow/LogicLayer.hpp"
#include "log/Log.hpp"
#include "log/MemoryLogSink.hpp"
#include "platform/PlatformContext.hpp"
#include "platform/memory/MemoryKeyStore.hpp"
#include "platform/memory/MemoryPreferences.hpp"

#include "TestSupport.hpp"

#include <velquor/Platform.hpp>

#include <memory>

namespace velquor::test {

// Keeps every written line. Thread-safe.
class RecordingConsole : public Console {
public:
    void writeLine(const std::string& line) override { journal_.add(line); }
    std::vector<std::string> lines() const { return journal_.entries(); }

private:
    Journal journal_;
};

// Global tasks run on the real pool with onGlobalQueue() true while they run; delayed main
// tasks are held until runDelayedMain(), so tests decide when "1.0 second later" is.
class MarkingQueues : public DispatchQueues {
public:
    explicit MarkingQueues(std::shared_ptr<DispatchQueues> real)
        : real_(std::move(real)) {}

    static bool onGlobalQueue() { return marker(); }

    void asyncGlobal(QualityOfService qos, Task task) override {
        {
            std::lock_guard lock(mutex_);
            qualities_.push_back(qos);
        }
        real_->asyncGlobal(qos, [task = std::move(task)] {
            marker() = true;
            task();
            marker() = false;
        });
    }
    void asyncMain(Task task) override { real_->asyncMain(std::move(task)); }
    void asyncMainAfter(std::chrono::milliseconds delay, Task task) override {
        std::lock_guard lock(mutex_);
        delayed_.push_back({delay, std::move(task)});
    }
    bool isMainQueueThread() const override { return real_->isMainQueueThread(); }
    std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& label, QualityOfService qos) override {
        return real_->makeSerialQueue(label, qos);
    }

    std::vector<std::chrono::milliseconds> delayedDelays() const {
        std::lock_guard lock(mutex_);
        std::vector<std::chrono::milliseconds> delays;
        for (const auto& item : delayed_)
            delays.push_back(item.delay);
        return delays;
    }
    // Runs (on the calling thread) and forgets every held delayed main task.
    void runDelayedMain() {
        std::vector<Delayed> tasks;
        {
            std::lock_guard lock(mutex_);
            tasks.swap(delayed_);
        }
        for (auto& item : tasks)
            item.task();
    }
    std::vector<QualityOfService> globalQualities() const {
        std::lock_guard lock(mutex_);
        return qualities_;
    }

private:
    struct Delayed {
        std::chrono::milliseconds delay;
        Task task;
    };
    static bool& marker() {
        thread_local bool onGlobal = false;
        return onGlobal;
    }

    std::shared_ptr<DispatchQueues> real_;
    mutable std::mutex mutex_;
    std::vector<Delayed> delayed_;
    std::vector<QualityOfService> qualities_;
};

// Installs a fresh MemoryLogSink for the lifetime of the object, then restores the default.
class ScopedLogSink {
public:
    ScopedLogSink()
        : sink_(std::make_shared<detail::MemoryLogSink>()) {
        detail::setLogSink(sink_);
    }
    ~ScopedLogSink() { detail::setLogSink(nullptr); }
    detail::MemoryLogSink* operator->() const { return sink_.get(); }

private:
    std::shared_ptr<detail::MemoryLogSink> sink_;
};

// Services for one fresh start-up: memory stores unless the test passes its own, a recording
// console, marking queues over the process's pool, the Linux notification centre and bundle.
struct TestServices {
    std::shared_ptr<detail::MemoryKeyStore> keyStore =
        std::make_shared<detail::MemoryKeyStore>(detail::MemoryKeyStore::KeyGeneration::shared);
    std::shared_ptr<detail::MemoryPreferences> preferences = std::make_shared<detail::MemoryPreferences>();
    std::shared_ptr<RecordingConsole> console = std::make_shared<RecordingConsole>();
    std::shared_ptr<MarkingQueues> queues;

    // `directory` holds the key store and application directories of the Linux defaults.
    detail::Platform platform(const std::filesystem::path& directory, bool memoryStores = true) {
        auto services = std::make_shared<PlatformServices>();
        if (memoryStores) {
            services->keyStore = keyStore;
            services->preferences = preferences;
        }
        services->console = console;
        Configuration configuration;
        configuration.keyStoreDirectory = directory / "keystore";
        configuration.applicationDirectory = directory / "application";
        configuration.hostApplication = {"com.example.host", "Host", "Host", "2.1", "7"};
        // Nothing listens on the discard port: a request that gets out fails at once.
        configuration.northAmericaBaseURL = "https://127.0.0.1:9/na/";
        configuration.europeBaseURL = "https://127.0.0.1:9/eu/";
        configuration.asiaPacificBaseURL = "https://127.0.0.1:9/au/";
        configuration.platform = services;
        detail::Platform resolved = detail::PlatformContext::resolve(configuration);
        queues = std::make_shared<MarkingQueues>(resolved.services.queues);
        resolved.services.queues = queues;
        return resolved;
    }
};

} // namespace velquor::test
