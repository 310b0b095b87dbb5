// The installed program: ready file, a request over TLS, a clean exit on SIGTERM or SIGINT, and
// the state directory it keeps.
#include "ServiceTestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace velquor::service::test {
namespace {

using namespace std::chrono_literals;
using velquor::test::modeOf;
using velquor::test::waitUntil;
using velquor::test::writeFile;

// Runs the program with `arguments`, output to `log`. The child is killed if the test leaves early.
struct Program {
    Program(std::vector<std::string> arguments, const std::filesystem::path& log) {
        arguments.insert(arguments.begin(), VELQUOR_SERVICE_EXECUTABLE);
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Program() {
        if (pid > 0 && !exited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    // The exit status; -1 when still running after `deadline`, -2 when ended by a signal.
    int exitCode(std::chrono::milliseconds deadline) {
        int status = 0;
        exited = exited || waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, deadline);
        return !exited ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }

    pid_t pid = -1;
    bool exited = false;
};

TEST(ExecutableTest, WritesTheReadyFileServesAndExitsZeroOnTheSignal) {
    for (const int stopSignal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(stopSignal == SIGTERM ? "SIGTERM" : "SIGINT");
        TempDir temp;
        const auto readyFile = temp.path() / "ready.json";
        // Left by an earlier run: replaced, never read as this run's.
        writeFile(readyFile, R"({"port": 1})");
        Program program({"--state-dir", (temp.path() / "state").string(), "--port", "0", "--ready-file",
                         readyFile.string()},
                        temp.path() / "output.log");
        ASSERT_GT(program.pid, 0);

        json ready;
        ASSERT_TRUE(waitUntil(
            [&] {
                ready = json::parse(readFile(readyFile), nullptr, false);
                return ready.is_object() && ready.value("port", 1) != 1;
            },
            30s))
            << readFile(temp.path() / "output.log");
        const int port = ready["port"];
        const auto prefix = "https://127.0.0.1:" + std::to_string(port) + "/";
        EXPECT_EQ(ready["baseURLs"],
                  json({{"NA", prefix + "na/"}, {"EU", prefix + "eu/"}, {"AU", prefix + "au/"}}));
        EXPECT_EQ(ready["adminURL"], prefix + "admin/");
        EXPECT_EQ(std::filesystem::path(ready["caCertificate"].get<std::string>()),
                  std::filesystem::weakly_canonical(temp.path() / "state" / "ca.pem"));

        HttpsClient client(ready["caCertificate"].get<std::string>());
        const auto state = client.request("GET", prefix + "admin/state", {});
        EXPECT_EQ(state.status, 200) << state.transportError;

        ASSERT_EQ(::kill(program.pid, stopSignal), 0);
        EXPECT_EQ(program.exitCode(30s), 0) << readFile(temp.path() / "output.log");
        EXPECT_FALSE(std::filesystem::exists(readyFile)) << "a stopped service left its ready file";
    }
}

// The help is documentation: here only that it is printed, and that an unknown option is named.
// Another user's directory, or one open to others, is refused with the reason and exit status 1:
// as the state directory (left exactly as it was) and for the ready file. A stale ready file is
// gone even when the run cannot start.
TEST(ExecutableOptionsTest, DocumentsItsOptionsAndRefusesUnknownOnesAndDirectoriesNotTheCallersOwn) {
    TempDir temp;
    EXPECT_EQ(Program({"--help"}, temp.path() / "help.txt").exitCode(30s), 0);
    EXPECT_NE(readFile(temp.path() / "help.txt").find("--state-dir"), std::string::npos);
    EXPECT_EQ(Program({"--prot", "1"}, temp.path() / "wrong.txt").exitCode(30s), 2);
    EXPECT_NE(readFile(temp.path() / "wrong.txt").find("--prot"), std::string::npos);

    const auto state = temp.path() / "state", foreign = temp.path() / "foreign";
    std::filesystem::create_directories(state);
    std::filesystem::create_directories(foreign);
    const bool privileged = ::chown(foreign.c_str(), ::geteuid() + 1, static_cast<gid_t>(-1)) == 0;
    struct Case {
        mode_t mode;
        uid_t owner;
        std::filesystem::path readyFile;
        const char* complaint;
    };
    for (const auto& c :
         std::vector<Case>{{0770, ::geteuid(), temp.path() / "ready.json", "open to group or others"},
                           {0705, ::geteuid(), temp.path() / "ready.json", "open to group or others"},
                           {0700, ::geteuid() + 1, temp.path() / "ready.json", "belongs to another user"},
                           {0700, ::geteuid(), foreign / "ready.json", "belongs to another user"}}) {
        if (!privileged && (c.owner != ::geteuid() || c.readyFile.parent_path() == foreign))
            continue;
        ASSERT_EQ(::chown(state.c_str(), c.owner, static_cast<gid_t>(-1)), 0);
        ASSERT_EQ(::chmod(state.c_str(), c.mode), 0);
        if (c.readyFile.parent_path() == temp.path())
            writeFile(c.readyFile, R"({"port": 1})");
        Program program({"--state-dir", state.string(), "--ready-file", c.readyFile.string()},
                        temp.path() / "log");
        EXPECT_EQ(program.exitCode(30s), 1);
        EXPECT_NE(readFile(temp.path() / "log").find(c.complaint), std::string::npos)
            << readFile(temp.path() / "log");
        EXPECT_FALSE(std::filesystem::exists(c.readyFile));
        EXPECT_EQ(modeOf(state), c.mode) << "the directory was changed";
        EXPECT_FALSE(std::filesystem::exists(state / "ca-key.pem"));
    }
    if (!privileged)
        GTEST_SKIP()
            << "cannot give a directory to another user without privileges; only open ones were tried";
}

// The state directory: what survives a restart, file permissions, a replaced server certificate
// and a damaged CA.
TEST(PersistenceTest, ARestartedServiceKnowsItsDevicesUploadsKeysAndUsedTokens) {
    TempDir temp;
    const auto directory = temp.path() / "state";
    PairedDevice device;
    std::string caBefore, serverKeyBefore, usedToken;
    const std::string zip = "PK\x03\x04 archive bytes";
    {
        RunningService first({.stateDirectory = directory});
        device = first.pair(testKey(0));
        const auto upload =
            first.upload(device, device.payloadToken({{"sha256", sha256Hex(zip)}, {"supportId", "42"}}),
                         multipartBody(zip));
        ASSERT_EQ(upload.status, 201) << upload.body;
        usedToken = device.token();
        ASSERT_EQ(first.post(device.baseURL + "v1/deviceInfo", usedToken).status, 200);
        caBefore = readFile(directory / "ca.pem");
        serverKeyBefore = first.serverPublicKey();
    }
    // A server certificate that no longer matches its key is issued again (every request below verifies it).
    std::filesystem::remove(directory / "server-key.pem");
    {
        RunningService second({.stateDirectory = directory});
        EXPECT_EQ(readFile(directory / "ca.pem"), caBefore);
        EXPECT_EQ(second.serverPublicKey(), serverKeyBefore);
        device.baseURL = second.baseURL(Region::eu);
        const auto info = second.post(device.baseURL + "v1/deviceInfo", device.token());
        ASSERT_EQ(info.status, 200) << info.body;
        EXPECT_EQ(second.replyClaims(info)["public"]["id"], device.id);
        EXPECT_EQ(second.post(device.baseURL + "v1/deviceInfo", usedToken).status, 401);
        EXPECT_EQ(second.adminRaw("GET", "uploads/42").body, zip);
        const auto state = second.adminGet("state");
        EXPECT_EQ(state["devices"].size(), 1u);
        EXPECT_EQ(state["devices"][0]["finalized"], true);
        EXPECT_EQ(state["uploads"][0]["supportId"], "42");

        for (const char* name :
             {"ca-key.pem", "server-key.pem", "service-key.pem", "service.db", "service.db-wal", "token-ids"})
            EXPECT_EQ(modeOf(directory / name), 0600u) << name;
    }

    // A damaged CA stops the next start and is left as it is.
    writeFile(directory / "ca.pem", "not a certificate");
    const auto error = ReferenceService({.stateDirectory = directory}).start();
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("ca.pem"), std::string::npos) << *error;
    EXPECT_EQ(readFile(directory / "ca.pem"), "not a certificate");
}

} // namespace
} // namespace velquor::service::test
