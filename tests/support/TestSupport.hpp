// Small helpers shared by the test suites: temporary directories and deadline-bounded waits.
#pragma once

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace velquor::test {

// A fresh directory under the system temp directory, removed with its contents on destruction.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velquor-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A file's whole content (empty when it cannot be read), and a file written whole (its folder made).
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& content);
// The permission bits of `path` itself (a link is not followed); a failed lstat fails the test.
unsigned modeOf(const std::filesystem::path& path);

// Runs `body` on a thread with a 256 KiB stack, where unbounded recursion overflows.
void runOnSmallStack(const std::function<void()>& body);

// Sets (or, with no value, removes) an environment variable and restores it on destruction.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value)
        : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Polls `condition` until it holds or `deadline` passes; returns whether it held.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Runs `program` with `arguments` for at most `deadline`; expects it to exit with `exitStatus`,
// having written `output` (when given) to its standard output.
void expectChildExit(const std::string& program, const std::vector<std::string>& arguments, int exitStatus,
                     const std::optional<std::string>& output = std::nullopt,
                     std::chrono::seconds deadline = std::chrono::seconds(30));

// Records entries from any thread, in order.
class Journal {
public:
    void add(const std::string& entry) {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
    }
    std::vector<std::string> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

// Opens once; every waiter is released. Waits are bounded so a broken queue fails, not hangs.
class Gate {
public:
    void open() { promise_.set_value(); }
    bool wait(std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        return opened_.wait_for(deadline) == std::future_status::ready;
    }

private:
    std::promise<void> promise_;
    std::shared_future<void> opened_ = promise_.get_future().share();
};

// Collects one value delivered on another thread and counts deliveries, so a test can assert a
// handler ran exactly once. wait() gives up after the deadline instead of hanging.
template <typename T> class Delivery {
public:
    void deliver(T value) {
        std::lock_guard lock(mutex_);
        ++count_;
        if (!value_)
            value_.emplace(std::move(value));
        cv_.notify_all();
    }
    std::optional<T> wait(std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, deadline, [&] { return count_ > 0; });
        return value_;
    }
    int count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<T> value_;
    int count_ = 0;
};

} // namespace velquor::test
