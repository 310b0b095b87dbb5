// The one program the process tests run as a child: each scenario needs a fresh process (the
// process-wide platform, start-up, exit with work in flight), uses the library the way a host
// would and reports on standard output and in its exit status what the parent asserts.
//
//   velquor_test_host <scenario> <data directory>
#include "jwt/JSONWebToken.hpp"
#include "log/Log.hpp"
#include "log/MemoryLogSink.hpp"
#include "platform/PlatformContext.hpp"
#include "platform/linux/CurlHttpTransport.hpp"

#include <velquor/Velquor.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>
#include <thread>

#include <unistd.h>

using namespace velquor;
using namespace std::chrono_literals;
using velquor::detail::PlatformContext;

namespace {

int failures = 0;

void expect(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "expectation failed: %s\n", what);
        ++failures;
    }
}

Configuration configurationIn(const std::filesystem::path& dir, const std::string& name) {
    Configuration configuration;
    configuration.keyStoreDirectory = dir / name / "keystore";
    configuration.applicationDirectory = dir / name / "app";
    // Nothing listens there: a request that gets out fails at once, never on a real network.
    configuration.northAmericaBaseURL = configuration.europeBaseURL = configuration.asiaPacificBaseURL =
        "https://127.0.0.1:9/" + name + "/";
    return configuration;
}

// generateMobilePayload's answer: "payload" or "error <code>/<internal code>".
std::string payloadAnswer() {
    try {
        return Velquor::generateMobilePayload().empty() ? "empty" : "payload";
    } catch (const Error& error) {
        return "error " + std::to_string(error.code()) + "/" +
               error.userInfo().value("internalErrorCode", Json(0)).dump();
    }
}

// configure() is taken until the first get(), refused afterwards; concurrent callers agree.
int configureScenario(const std::filesystem::path& dir) {
    expect(PlatformContext::configure(configurationIn(dir, "first")), "configure before get is accepted");
    expect(PlatformContext::configure(configurationIn(dir, "second")),
           "a later configure before get replaces");

    std::atomic<bool> go{false}, getReturned{false};
    std::atomic<int> refusedAfterGet{0}, acceptedAfterGet{0};
    std::vector<std::thread> racers;
    for (int t = 0; t < 4; ++t)
        racers.emplace_back([&, t] {
            while (!go)
                std::this_thread::yield();
            for (int i = 0;; ++i) {
                const bool returnedBefore = getReturned;
                if (!PlatformContext::configure(
                        configurationIn(dir, "racer" + std::to_string(t) + "-" + std::to_string(i))))
                    return void(++refusedAfterGet);
                acceptedAfterGet += returnedBefore;
            }
        });
    go = true;
    std::this_thread::sleep_for(2ms);
    const auto& platform = PlatformContext::get();
    getReturned = true;
    for (auto& racer : racers)
        racer.join();
    expect(acceptedAfterGet == 0, "no configure is accepted once get() has returned");
    expect(refusedAfterGet == 4, "every racer was refused in the end");

    const auto frozen = platform.configuration;
    PlatformContext::configure(configurationIn(dir, "late"));
    const auto& again = PlatformContext::get();
    expect(&again == &platform, "get() answers the same platform");
    expect(again.configuration.keyStoreDirectory == frozen.keyStoreDirectory,
           "a refused configure changes nothing");
    expect(frozen.keyStoreDirectory.parent_path().parent_path() == dir,
           "the resolved configuration is a configured one");
    return 0;
}

// Set by an exit handler that runs after the platform's own (it was registered before it).
std::atomic<bool> gExitBegan{false};

struct SlowToDestroy {
    // Keeps the exit going long enough for a queue that ignores the exit to start more tasks.
    ~SlowToDestroy() { std::this_thread::sleep_for(400ms); }
};

// Called before the platform starts: marks the exit's beginning and makes it slow.
void watchExit() {
    static SlowToDestroy slow;
    std::atexit([] { gExitBegan = true; });
}

void startedAfterExit() {
    if (gExitBegan)
        ::_exit(42); // a queued task started after exit began
}

// Transfers to the test's loopback server (address and CA in "server") still running, and
// others completing, while the process exits. Among them, uploads into connections the server
// closes: with SIGPIPE at its default, a write that raised it would kill this process.
int httpInFlightScenario(const std::filesystem::path& dir) {
    watchExit();
    std::signal(SIGPIPE, SIG_DFL); // as a host leaves it (the test's server made it inherited ignored)
    std::string base, ca;
    std::ifstream(dir / "server") >> base >> ca;
    auto http = std::make_shared<velquor::detail::CurlHttpTransport>(ca);
    static std::atomic<int> lost{0};
    for (int i = 0; i < 60; ++i) {
        const bool cut = i % 20 == 0;
        const char* path = cut ? "/close" : i % 10 ? "/echo" : "/stall";
        http->send({"POST", base + path, {}, std::vector<std::uint8_t>(cut ? 8u << 20 : 1000, 'x')},
                   [cut](auto, auto error) {
                       startedAfterExit();
                       lost += cut && error && error->code == -1005;
                   });
    }
    for (int waited = 0; lost < 3 && waited < 2000; ++waited)
        std::this_thread::sleep_for(10ms);
    expect(lost == 3, "each upload into a closed connection failed with -1005");
    expect(std::signal(SIGPIPE, SIG_DFL) == SIG_DFL, "the SIGPIPE disposition is left as it was");
    std::printf("exiting with transfers in flight\n");
    std::fflush(stdout);
    return 0;
}

// No home directory, no password entry and no directories configured: no safe default exists, so
// the key store fails every call, no settings suite opens and nothing is made anywhere.
int noHomeScenario(const std::filesystem::path& dir) {
    ::unsetenv("HOME");
    ::unsetenv("XDG_DATA_HOME");
    ::setenv("TMPDIR", dir.c_str(), 1);
    std::filesystem::permissions(dir, std::filesystem::perms::all);
    if (::getuid() == 0 && (::setgid(54321) != 0 || ::setuid(54321) != 0)) // an id without an entry
        return 3;
    expect(!PlatformContext::configure(Configuration{}), "configure without a safe default answers false");
    const auto& services = PlatformContext::get().services;
    std::vector<std::uint8_t> data;
    expect(services.keyStore->copyPassword("isPaired", "isPaired", data) == -36, "reads answer -36");
    expect(services.keyStore->generateRSAKeyPair("p", "q", 2048) == -36, "generation answers -36");
    expect(services.preferences->open("com.marvisTel.VelquorSDK") == nullptr, "no suite opens");
    expect(payloadAnswer() == "error 10000/20019", "the payload needs the key store");
    expect(std::filesystem::is_empty(dir), "nothing is made in the temporary directory");
    return 0;
}

int exitFromTaskScenario(const std::filesystem::path& dir) {
    PlatformContext::configure(configurationIn(dir, "task-exit"));
    auto& queues = *PlatformContext::get().services.queues;
    for (int i = 0; i < 50; ++i)
        queues.asyncGlobal(QualityOfService::utility, [] { std::this_thread::sleep_for(20ms); });
    queues.asyncGlobal(QualityOfService::userInteractive, [] { std::exit(7); });
    std::this_thread::sleep_for(10s); // the task ends the process long before this
    return 1;
}

// The library logging into the returned sink and configured in `directory` (`platform`: its services).
std::shared_ptr<detail::MemoryLogSink> configure(const std::filesystem::path& directory,
                                                 std::shared_ptr<PlatformServices> platform = nullptr) {
    auto sink = std::make_shared<detail::MemoryLogSink>();
    detail::setLogSink(sink);
    Configuration configuration = configurationIn(directory, "host");
    configuration.platform = std::move(platform);
    if (!Velquor::configure(configuration))
        std::exit(3);
    return sink;
}

// processIdToken starts no logic layer; approving the pairing object it made, while eight threads
// make their first calls, starts the process's one exactly once.
int idTokenOnly(const std::filesystem::path& directory) {
    auto sink = configure(directory);
    const Json claims = {{"vq.enrollment", {{"status", "SUCCESS"}, {"pairingKey", "01KEY"}}}};
    std::optional<PairingObject> object;
    Velquor::processIdToken(detail::JSONWebToken::build(claims, std::nullopt, nullptr)->rawString(),
                            [&](std::optional<PairingObject> made, std::optional<Error>) { object = made; });
    std::cout << "init-lines=" << sink->count("Velquor init") << std::endl;
    if (!object)
        return 4;
    std::promise<std::optional<Error>> approved;
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([] { Velquor::getUNNotificationCategories(); });
    object->approve([&](std::optional<Error> error) { approved.set_value(error); });
    for (auto& thread : threads)
        thread.join();
    const auto error = approved.get_future().get(); // a missing answer: the parent's deadline
    std::cout << "approved=" << (error ? error->userInfo()["internalErrorCode"].dump() : "none")
              << " init-lines=" << sink->count("Velquor init") << std::endl;
    return 0;
}

// Work queued and running on every queue, and a host thread signing payloads, when the process
// ends by returning from main or by std::exit: exit must neither wait for the work, nor start
// what is queued, nor crash or free what running work reads.
int exitWithWork(const std::filesystem::path& directory, bool callExit) {
    watchExit();
    configure(directory);
    static std::atomic<int> answers{0};
    std::thread([] {
        for (;; ++answers)
            payloadAnswer();
    }).detach();
    for (int i = 0; i < 16; ++i)
        Velquor::getInfo([](std::optional<Json>, std::optional<Error>) {
            std::this_thread::sleep_for(30s);
            std::cout << "handler finished" << std::endl;
        });
    Velquor::applicationWillEnterForeground(); // a delayed refresh pending on the main queue
    const auto& platform = PlatformContext::get();
    auto& queues = *platform.services.queues;
    auto keyStore = platform.services.keyStore;
    // A task that outlives the run.
    queues.asyncGlobal(QualityOfService::utility, [] { std::this_thread::sleep_for(1h); });
    for (int i = 0; i < 300; ++i)
        queues.asyncGlobal(static_cast<QualityOfService>(i % 5), [keyStore, i] {
            startedAfterExit();
            if (i % 50 == 0)
                keyStore->replacePassword("item", "item", {static_cast<std::uint8_t>(i)});
            std::this_thread::sleep_for(100ms);
        });
    static auto* serial = new std::shared_ptr<SerialQueue>( // never destroyed
        queues.makeSerialQueue("exit.serial", QualityOfService::utility));
    for (int i = 0; i < 20; ++i) {
        queues.asyncMainAfter(std::chrono::milliseconds(i * 20), [] {
            startedAfterExit();
            std::this_thread::sleep_for(30ms);
        });
        (*serial)->async([] {
            startedAfterExit();
            std::this_thread::sleep_for(50ms);
        });
    }
    while (answers < 3)
        std::this_thread::sleep_for(10ms);
    std::cout << "queued" << std::endl;
    if (callExit)
        std::exit(0);
    return 0;
}

struct ThrowingConsole : Console {
    void writeLine(const std::string&) override { throw std::runtime_error("console closed"); }
};
struct ThrowingPreferences : Preferences {
    std::shared_ptr<SettingsSuite> open(const std::string&) override { throw std::runtime_error("no suite"); }
};

// One host service throws: start-up still runs once and each asynchronous operation answers
// once, on a library thread.
int throwingService(const std::filesystem::path& directory, const std::string& service) {
    auto services = std::make_shared<PlatformServices>();
    if (service == "console")
        services->console = std::make_shared<ThrowingConsole>();
    else
        services->preferences = std::make_shared<ThrowingPreferences>();
    const auto sink = configure(directory, services);
    const auto caller = std::this_thread::get_id();
    std::atomic<int> calls{0}, onCaller{0};
    auto count = [&](auto&&...) {
        onCaller += std::this_thread::get_id() == caller;
        ++calls;
    };
    Velquor::pair("01AB", count);
    Velquor::getInfo(count);
    Velquor::processRemoteNotification(Json::object(), count);
    for (int i = 0; i < 1000 && calls < 3; ++i)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(100ms); // a second call of any handler would arrive now
    std::cout << "calls=" << calls << " on-caller=" << onCaller
              << " init-lines=" << sink->count("Velquor init") << " skipped=" << sink->count("skipped")
              << std::endl;
    return 0;
}

// A host's global object that uses the library during static initialisation; it reads its
// arguments from /proc, main not having them yet.
struct PayloadBeforeMain {
    PayloadBeforeMain() {
        std::ifstream file("/proc/self/cmdline");
        std::string program, scenario, directory;
        if (std::getline(file, program, '\0') && std::getline(file, scenario, '\0') &&
            std::getline(file, directory, '\0') && scenario == "payload-before-main") {
            Velquor::configure(configurationIn(directory, "static"));
            answer = payloadAnswer();
        }
    }
    std::string answer;
} gPayloadBeforeMain;

int payloadBeforeMain() {
    std::cout << "before-main=" << gPayloadBeforeMain.answer << " main=" << payloadAnswer() << std::endl;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    const std::string scenario = argv[1];
    const std::filesystem::path directory = argv[2];
    const int status = scenario == "idtoken-only"            ? idTokenOnly(directory)
                       : scenario == "exit-with-work-return" ? exitWithWork(directory, false)
                       : scenario == "exit-with-work-exit"   ? exitWithWork(directory, true)
                       : scenario == "configure"             ? configureScenario(directory)
                       : scenario == "http-in-flight"        ? httpInFlightScenario(directory)
                       : scenario == "no-home"               ? noHomeScenario(directory)
                       : scenario.starts_with("throwing-")   ? throwingService(directory, scenario.substr(9))
                       : scenario == "payload-before-main"   ? payloadBeforeMain()
                       : scenario == "exit-from-task"        ? exitFromTaskScenario(directory)
                                                             : 2;
    return status != 0 ? status : failures != 0; // a failed expectation fails it
}
