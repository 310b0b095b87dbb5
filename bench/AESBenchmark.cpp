// The library's own AES-256-CBC against OpenSSL's on the same 1 MiB, encrypting and decrypting,
// in one run. Prints how many times slower the own cipher is after the table.
#include "crypto/AESCipher.hpp"

#include "util/OpenSSLPtr.hpp"

#include <openssl/rand.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using velquor::detail::AESCipher;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMessageSize = 1 << 20;

struct Material {
    Bytes key = Bytes(32);
    Bytes iv = Bytes(16);
    Bytes plaintext = Bytes(kMessageSize);
    Bytes ciphertext; // of plaintext, with PKCS#7 padding

    Material() {
        RAND_bytes(key.data(), static_cast<int>(key.size()));
        RAND_bytes(iv.data(), static_cast<int>(iv.size()));
        RAND_bytes(plaintext.data(), static_cast<int>(plaintext.size()));
        ciphertext = AESCipher::make(key, iv).value().encrypt(plaintext).value();
    }
};

const Material& material() {
    static const Material instance;
    return instance;
}

Bytes openssl(bool encrypt, const Bytes& input) {
    const Material& m = material();
    velquor::detail::EVP_CIPHER_CTX_ptr ctx(EVP_CIPHER_CTX_new());
    Bytes output(input.size() + 16);
    int length = 0;
    int tail = 0;
    EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, m.key.data(), m.iv.data(), encrypt);
    EVP_CipherUpdate(ctx.get(), output.data(), &length, input.data(), static_cast<int>(input.size()));
    EVP_CipherFinal_ex(ctx.get(), output.data() + length, &tail);
    output.resize(static_cast<std::size_t>(length + tail));
    return output;
}

void OwnEncrypt(benchmark::State& state) {
    const Material& m = material();
    for (auto _ : state) {
        auto cipher = AESCipher::make(m.key, m.iv).value();
        benchmark::DoNotOptimize(cipher.encrypt(m.plaintext));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMessageSize));
}

void OpenSSLEncrypt(benchmark::State& state) {
    const Material& m = material();
    for (auto _ : state)
        benchmark::DoNotOptimize(openssl(true, m.plaintext));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMessageSize));
}

void OwnDecrypt(benchmark::State& state) {
    const Material& m = material();
    for (auto _ : state) {
        auto cipher = AESCipher::make(m.key, m.iv).value();
        benchmark::DoNotOptimize(cipher.decrypt(m.ciphertext));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMessageSize));
}

void OpenSSLDecrypt(benchmark::State& state) {
    const Material& m = material();
    for (auto _ : state)
        benchmark::DoNotOptimize(openssl(false, m.ciphertext));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMessageSize));
}

BENCHMARK(OwnEncrypt)->Unit(benchmark::kMillisecond);
BENCHMARK(OpenSSLEncrypt)->Unit(benchmark::kMillisecond);
BENCHMARK(OwnDecrypt)->Unit(benchmark::kMillisecond);
BENCHMARK(OpenSSLDecrypt)->Unit(benchmark::kMillisecond);

// The console table as usual, plus the CPU time of each benchmark for the ratio line (CPU time,
// so other processes on a busy machine do not skew it).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& reports) override {
        ConsoleReporter::ReportRuns(reports);
        for (const Run& run : reports)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                seconds[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    std::map<std::string, double> seconds;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    (void)material();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* direction : {"Encrypt", "Decrypt"}) {
        const auto own = reporter.seconds.find(std::string("Own") + direction);
        const auto theirs = reporter.seconds.find(std::string("OpenSSL") + direction);
        if (own != reporter.seconds.end() && theirs != reporter.seconds.end() && theirs->second > 0)
            std::printf("AES-256-CBC %s, 1 MiB: own cipher takes %.1f times as long as OpenSSL\n", direction,
                        own->second / theirs->second);
    }
    benchmark::Shutdown();
    return 0;
}
