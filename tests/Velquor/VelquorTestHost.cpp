// A small host program the process tests run as a child: each scenario uses the library the way
// a host would and reports on standard output what the parent asserts.
//
//   velquor_test_host <scenario> <data directory>
#include "log/Log.hpp"
#include "log/MemoryLogSink.hpp"

#include <velquor/Velquor.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace velquor;

namespace {

std::shared_ptr<detail::MemoryLogSink> configure(const std::filesystem::path& directory) {
    auto sink = std::make_shared<detail::MemoryLogSink>();
    detail::setLogSink(sink);
    Configuration configuration;
    configuration.keyStoreDirectory = directory / "keystore";
    configuration.applicationDirectory = directory / "application";
    configuration.hostApplication = {"com.example.testhost", "Test Host", "TestHost", "1.0", "1"};
    if (!Velquor::configure(configuration)) {
        std::cout << "configure refused" << std::endl;
        std::exit(3);
    }
    return sink;
}

// Only processIdToken: the logic layer must not start.
int idTokenOnly(const std::filesystem::path& directory) {
    auto sink = configure(directory);
    Velquor::processIdToken("not-a-token", [](std::optional<PairingObject>, std::optional<Error> error) {
        if (error)
            std::cout << "code=" << error->code() << " internal=" << error->userInfo()["internalErrorCode"]
                      << std::endl;
    });
    std::cout << "init-lines=" << sink->count("Velquor init") << std::endl;
    return 0;
}

// Many threads make their first call at once: exactly one start-up.
int concurrentFirstCalls(const std::filesystem::path& directory) {
    auto sink = configure(directory);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([] { Velquor::getUNNotificationCategories(); });
    for (auto& thread : threads)
        thread.join();
    std::cout << "init-lines=" << sink->count("Velquor init") << std::endl;
    return 0;
}

// Handlers that throw on the library's threads and on the caller's: the process lives on.
int throwingHandlers(const std::filesystem::path& directory) {
    auto sink = configure(directory);
    Velquor::getInfo([](std::optional<Json>, std::optional<Error>) { throw std::runtime_error("host bug"); });
    Velquor::sendLogs(
        [](std::optional<std::string>, std::optional<Error>) { throw std::logic_error("host bug"); });
    Velquor::pair("01AB", [](std::optional<Error>) { throw 7; });
    std::promise<void> done;
    Velquor::getInfo([&](std::optional<Json>, std::optional<Error>) { done.set_value(); });
    if (done.get_future().wait_for(std::chrono::seconds(10)) != std::future_status::ready)
        return 4;
    for (int i = 0; i < 200 && sink->count("Completion handler threw") < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::cout << "caught=" << sink->count("Completion handler threw") << std::endl;
    std::cout << "alive" << std::endl;
    return 0;
}

// Work still queued and running when the process ends: exit must neither wait for it nor crash.
int exitWithQueuedWork(const std::filesystem::path& directory, bool callExit) {
    configure(directory);
    for (int i = 0; i < 16; ++i)
        Velquor::getInfo([](std::optional<Json>, std::optional<Error>) {
            std::this_thread::sleep_for(std::chrono::seconds(30));
            std::cout << "handler finished" << std::endl;
        });
    Velquor::applicationWillEnterForeground(); // a delayed refresh pending on the main queue
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::cout << "queued" << std::endl;
    if (callExit)
        std::exit(0);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: velquor_test_host <scenario> <directory>\n";
        return 2;
    }
    const std::string scenario = argv[1];
    const std::filesystem::path directory = argv[2];
    if (scenario == "idtoken-only")
        return idTokenOnly(directory);
    if (scenario == "concurrent-first-calls")
        return concurrentFirstCalls(directory);
    if (scenario == "throwing-handlers")
        return throwingHandlers(directory);
    if (scenario == "exit-with-queued-work-return")
        return exitWithQueuedWork(directory, false);
    if (scenario == "exit-with-queued-work-exit")
        return exitWithQueuedWork(directory, true);
    std::cerr << "unknown scenario " << scenario << "\n";
    return 2;
}
