// Packing a 2 MB log-like text: ZipLog::zip (streamed raw DEFLATE in 16 KiB chunks, CRC-32 and
// the archive records) against one call of zlib's compress2 at the same level, in one run.
// Each row reports the output size over the input size; a closing line gives the time ratio.
#include "log/ZipLog.hpp"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kTextSize = 2'000'000;

// Lines shaped like the decrypted log: a timestamp, level, source unit, operation, line number
// and a message carrying ids that do not repeat, so the text compresses as a real log does.
const std::string& logText() {
    static const std::string text = [] {
        static const char* const units[] = {"Core/LogicLayer", "Core/Communication", "Core/Keychain",
                                            "Log/Log"};
        static const char* const operations[] = {"pair(withPairingKey:completionHandler:)", "getInfo()",
                                                 "sendLogs(completionHandler:)", "setDeviceToken(_:)"};
        std::mt19937 random(15);
        std::string out;
        char line[320];
        for (int n = 0; out.size() < kTextSize; ++n) {
            std::snprintf(line, sizeof line,
                          "07/12/2026, %02d:%02d:%02d.%03d MST | %s | %s | %s | %u | request %08x-%04x done, "
                          "status %u | iPhone15,2 | 17.2 | en_GB | 1.0.0 (92)\n",
                          n / 3600 % 24, n / 60 % 60, n % 60, static_cast<int>(random() % 1000),
                          n % 7 == 0 ? "ERROR" : "INFO", units[random() % 4], operations[random() % 4],
                          static_cast<unsigned>(random() % 900 + 10), static_cast<unsigned>(random()),
                          static_cast<unsigned>(random() & 0xFFFF), n % 11 == 0 ? 500u : 200u);
            out += line;
        }
        out.resize(kTextSize);
        return out;
    }();
    return text;
}

void ZipLogZip(benchmark::State& state) {
    const std::string& text = logText();
    std::size_t size = 0;
    for (auto _ : state) {
        auto archive = velquor::detail::ZipLog::zip(text);
        size = archive ? archive->size() : 0;
        benchmark::DoNotOptimize(archive);
    }
    state.counters["size_ratio"] = static_cast<double>(size) / static_cast<double>(text.size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void ZlibCompress2(benchmark::State& state) {
    const std::string& text = logText();
    std::vector<Bytef> out(compressBound(static_cast<uLong>(text.size())));
    uLongf size = 0;
    for (auto _ : state) {
        size = static_cast<uLongf>(out.size());
        compress2(out.data(), &size, reinterpret_cast<const Bytef*>(text.data()),
                  static_cast<uLong>(text.size()), Z_DEFAULT_COMPRESSION);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["size_ratio"] = static_cast<double>(size) / static_cast<double>(text.size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

BENCHMARK(ZipLogZip)->Unit(benchmark::kMillisecond);
BENCHMARK(ZlibCompress2)->Unit(benchmark::kMillisecond);

// The console table as usual, plus each benchmark's CPU time and size ratio for the closing line.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& reports) override {
        ConsoleReporter::ReportRuns(reports);
        for (const Run& run : reports)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                seconds[run.benchmark_name()] = run.GetAdjustedCPUTime();
                sizes[run.benchmark_name()] = run.counters.at("size_ratio");
            }
    }
    std::map<std::string, double> seconds, sizes;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    (void)logText();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.seconds.count("ZipLogZip") && reporter.seconds.count("ZlibCompress2") &&
        reporter.seconds["ZlibCompress2"] > 0 && reporter.sizes["ZlibCompress2"] > 0)
        std::printf(
            "2 MB log: ZipLog::zip takes %.2f times as long as compress2, output %.3f times its size\n",
            reporter.seconds["ZipLogZip"] / reporter.seconds["ZlibCompress2"],
            reporter.sizes["ZipLogZip"] / reporter.sizes["ZlibCompress2"]);
    benchmark::Shutdown();
    return 0;
}
