#include "TestSupport.hpp"

#include "platform/PlatformContext.hpp"

#include <csignal>
#include <random>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace velquor::test {

namespace {

// Before anything logs, the process platform of every test executable points at a temporary
// directory, so a test run leaves the user's home untouched. Suites that need their own
// configuration replace it before their first operation. The directory is made only when the
// library first writes there, and removed at exit.
struct ProcessDirectory {
    ProcessDirectory() {
        std::random_device rd;
        path = std::filesystem::temp_directory_path() /
               ("velquor-test-process-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
        Configuration configuration;
        configuration.keyStoreDirectory = path / "keystore";
        configuration.applicationDirectory = path / "application";
        detail::PlatformContext::configure(configuration);
    }
    ~ProcessDirectory() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::filesystem::path path;
} gProcessDirectory;

} // namespace

TempDir::TempDir() {
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto candidate = base / ("velquor-test-" + std::to_string(rd()) + std::to_string(rd()));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) {
            path_ = candidate;
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

ChildResult runChild(const std::string& program, const std::vector<std::string>& arguments,
                     std::chrono::seconds deadline) {
    ChildResult result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return result;
    }
    // Output is drained while waiting, so a child that writes a lot cannot block on a full pipe.
    const auto end = std::chrono::steady_clock::now() + deadline;
    bool open = true;
    int status = 0;
    for (;;) {
        if (open) {
            pollfd fd{pipeFds[0], POLLIN, 0};
            if (::poll(&fd, 1, 20) > 0) {
                char buffer[4096];
                const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
                if (n > 0)
                    result.output.append(buffer, static_cast<std::size_t>(n));
                else
                    open = false;
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            result.finished = true;
            break;
        }
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
    }
    char buffer[4096];
    ssize_t n;
    while (result.finished && (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        result.output.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    if (result.finished) {
        result.exitedNormally = WIFEXITED(status);
        result.exitStatus = result.exitedNormally ? WEXITSTATUS(status) : -1;
        result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return result;
}

} // namespace velquor::test
