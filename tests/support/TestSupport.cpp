#include "TestSupport.hpp"

#include "platform/PlatformContext.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <random>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace velquor::test {

namespace {

// Before anything logs, the process platform of every test executable points at a temporary
// directory, so a test run leaves the user's home untouched, and at an address where nothing
// listens, so a request that gets out fails at once, never on a real network. Suites that need
// their own configuration replace it before their first operation. The directory is made only when
// the library first writes there, and removed at exit.
struct ProcessDirectory {
    ProcessDirectory() {
        std::random_device rd;
        path = std::filesystem::temp_directory_path() /
               ("velquor-test-process-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
        Configuration configuration;
        configuration.keyStoreDirectory = path / "keystore";
        configuration.applicationDirectory = path / "application";
        configuration.northAmericaBaseURL = configuration.europeBaseURL = configuration.asiaPacificBaseURL =
            "https://127.0.0.1:9/";
        detail::PlatformContext::configure(configuration);
    }
    ~ProcessDirectory() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::filesystem::path path;
} gProcessDirectory;

} // namespace

unsigned modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void runOnSmallStack(const std::function<void()>& body) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
    pthread_t thread;
    auto run = [](void* argument) -> void* {
        (*static_cast<const std::function<void()>*>(argument))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&body)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
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

// The child's standard output goes to a file, so it can never block on a full pipe and nothing it
// leaves running keeps the output open.
void expectChildExit(const std::string& program, const std::vector<std::string>& arguments, int exitStatus,
                     const std::optional<std::string>& output, std::chrono::seconds deadline) {
    TempDir dir;
    const auto outputFile = dir.path() / "stdout";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(spawned, 0) << program;
    const auto end = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    bool finished = false;
    while (!(finished = ::waitpid(pid, &status, WNOHANG) == pid) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!finished) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    const std::string written = readFile(outputFile);
    ASSERT_TRUE(finished) << "the child hung; output:\n" << written;
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status) << "; output:\n" << written;
    EXPECT_EQ(WEXITSTATUS(status), exitStatus) << written;
    if (output) {
        EXPECT_EQ(written, *output);
    }
}

} // namespace velquor::test
