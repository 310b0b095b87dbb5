// Appending 10,000 INFO lines to the encrypted log file: starting from an empty log and from one
// just under the rotation size. An append must not cost more as the file grows, so the two
// per-line figures should stay within 1.5x of each other; the closing line gives their ratio.
#include "log/LogFile.hpp"
#include "platform/memory/MemoryKeyStore.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using velquor::detail::LogFile;
using velquor::detail::LogLevel;

constexpr int kLines = 10'000;

// A plain line of the usual length (about 420 characters).
const std::string kLine =
    R"x([Velquor] time="2026-12-07 03:35:31.123-0700" logLevel="INFO" Pairing finished file="LogicLayer.cpp")x"
    R"x( method="pair(withPairingKey:completionHandler:)" line="214" deviceFp="6F1D3C2A-5B7E-4E21-9C4D-2A1B3C4D5E6F")x"
    R"x( mobileDeviceId="md-8c1f2e" appId="ia-41b7" sdkVersion="1.0.0(92)" appVersion="2.1(7)")x"
    R"x( bundleID="com.example.host" ApiVersion="v1" osVersion="12" model="Workstation" rawDevice="x86_64")x"
    R"x( thread="Background")x";

std::map<std::string, double>& perLineSeconds() {
    static std::map<std::string, double> figures;
    return figures;
}

void appendLines(benchmark::State& state, std::uint64_t startSize, const char* name) {
    const fs::path root = fs::temp_directory_path() / ("velquor-bench-log-" + std::to_string(::getpid()));
    const fs::path docs = root / "Documents";
    auto store = std::make_shared<velquor::detail::MemoryKeyStore>();
    LogFile file({docs, store, nullptr});
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(root);
        fs::create_directories(root);
        file.logKey(); // the key is made once, outside the timing
        fs::create_directory(docs);
        fs::permissions(docs, fs::perms::owner_all);
        if (startSize > 0)
            std::ofstream(docs / LogFile::kCurrentName, std::ios::binary)
                << std::string(startSize - 1, 'x') << '\n';
        state.ResumeTiming();
        auto begin = std::chrono::steady_clock::now();
        for (int i = 0; i < kLines; ++i)
            file.append(LogLevel::info, kLine);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    }
    state.SetItemsProcessed(state.iterations() * kLines);
    const double perLine = seconds / static_cast<double>(state.iterations() * kLines);
    state.counters["us_per_line"] = perLine * 1e6;
    perLineSeconds()[name] = perLine;
    fs::remove_all(root);
}

void BM_AppendToEmptyLog(benchmark::State& state) {
    appendLines(state, 0, "empty");
}
void BM_AppendToNearlyFullLog(benchmark::State& state) {
    appendLines(state, LogFile::kRotationSize - 1000, "full");
}

BENCHMARK(BM_AppendToEmptyLog)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_AppendToNearlyFullLog)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto& figures = perLineSeconds();
    if (figures.count("empty") && figures.count("full"))
        std::printf("per-line cost, nearly full log / empty log: %.2fx\n",
                    figures["full"] / figures["empty"]);
    return 0;
}
