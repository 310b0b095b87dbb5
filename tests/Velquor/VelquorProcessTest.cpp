// Whole-process behaviour, each scenario in a fresh child process (velquor_test_host): start-up
// runs once and only when needed, throwing host handlers do not end the process, and the process
// exits promptly with work still queued.
#include "../support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace velquor::test {
namespace {

struct ChildResult {
    bool finished = false;
    int exitStatus = -1; // valid when exitedNormally
    bool exitedNormally = false;
    int signal = 0;
    std::string output;
};

// Runs the helper with a deadline; a child still running then is killed and reported unfinished.
ChildResult runHost(const std::string& scenario, const std::filesystem::path& directory,
                    std::chrono::seconds deadline = std::chrono::seconds(20)) {
    ChildResult result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::string program = VELQUOR_TEST_HOST;
    std::string dir = directory.string();
    char* argv[] = {program.data(), const_cast<char*>(scenario.c_str()), dir.data(), nullptr};
    pid_t pid = -1;
    int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return result;
    }

    const auto end = std::chrono::steady_clock::now() + deadline;
    bool open = true;
    int status = 0;
    for (;;) {
        if (open) {
            pollfd fd{pipeFds[0], POLLIN, 0};
            if (::poll(&fd, 1, 20) > 0) {
                char buffer[4096];
                ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
                if (n > 0)
                    result.output.append(buffer, static_cast<std::size_t>(n));
                else
                    open = false;
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_t waited = ::waitpid(pid, &status, WNOHANG);
        if (waited == pid) {
            result.finished = true;
            break;
        }
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
    }
    ::close(pipeFds[0]);
    if (result.finished) {
        result.exitedNormally = WIFEXITED(status);
        result.exitStatus = result.exitedNormally ? WEXITSTATUS(status) : -1;
        result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return result;
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

void expectCleanExit(const ChildResult& child) {
    ASSERT_TRUE(child.finished) << "the child hung; output:\n" << child.output;
    EXPECT_TRUE(child.exitedNormally) << "signal " << child.signal << "; output:\n" << child.output;
    EXPECT_EQ(child.exitStatus, 0) << child.output;
}

TEST(VelquorProcess, ProcessIdTokenAloneNeverStartsTheLogicLayer) {
    TempDir dir;
    ChildResult child = runHost("idtoken-only", dir.path());
    expectCleanExit(child);
    EXPECT_NE(child.output.find("code=10005 internal=20018"), std::string::npos) << child.output;
    EXPECT_NE(child.output.find("init-lines=0"), std::string::npos) << child.output;
    EXPECT_EQ(child.output.find("Velquor Version"), std::string::npos) << child.output;
}

TEST(VelquorProcess, ConcurrentFirstCallsStartTheLibraryOnce) {
    TempDir dir;
    ChildResult child = runHost("concurrent-first-calls", dir.path());
    expectCleanExit(child);
    EXPECT_EQ(occurrences(child.output, "Velquor Version 1.0.0(92)\n"), 1u) << child.output;
    EXPECT_NE(child.output.find("init-lines=1"), std::string::npos) << child.output;
}

TEST(VelquorProcess, ThrowingHostHandlersDoNotEndTheProcess) {
    TempDir dir;
    ChildResult child = runHost("throwing-handlers", dir.path());
    expectCleanExit(child);
    EXPECT_NE(child.output.find("caught=3"), std::string::npos) << child.output;
    EXPECT_NE(child.output.find("alive"), std::string::npos) << child.output;
}

// The handlers sleep 30 s: a process that waited for them would miss the 20 s deadline.
TEST(VelquorProcess, ReturningFromMainWithWorkQueuedExitsAtOnce) {
    TempDir dir;
    ChildResult child = runHost("exit-with-queued-work-return", dir.path());
    expectCleanExit(child);
    EXPECT_NE(child.output.find("queued"), std::string::npos);
    EXPECT_EQ(child.output.find("handler finished"), std::string::npos);
}

TEST(VelquorProcess, ExitWithWorkQueuedExitsAtOnce) {
    TempDir dir;
    ChildResult child = runHost("exit-with-queued-work-exit", dir.path());
    expectCleanExit(child);
    EXPECT_NE(child.output.find("queued"), std::string::npos);
    EXPECT_EQ(child.output.find("handler finished"), std::string::npos);
}

} // namespace
} // namespace velquor::test
