// Costs of the platform layer: key store items on disk (each write is two fsyncs), RSA keys
// through the key store, and a task's trip through the queues.
#include "platform/linux/FileKeyStore.hpp"
#include "platform/linux/RSAKeyCodec.hpp"
#include "platform/linux/ThreadPoolDispatchQueues.hpp"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>

namespace {

using velquor::DigestAlgorithm;
using velquor::QualityOfService;
using velquor::detail::FileKeyStore;

struct ScratchDir {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("velquor-bench-" + std::to_string(std::random_device{}()));
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

void BM_FileKeyStoreReplacePassword(benchmark::State& state) {
    ScratchDir dir;
    FileKeyStore store(dir.path);
    const std::vector<std::uint8_t> value(36, 'F');
    for (auto _ : state)
        benchmark::DoNotOptimize(store.replacePassword("deviceFingerprint", "deviceFingerprint", value));
}
BENCHMARK(BM_FileKeyStoreReplacePassword)->Unit(benchmark::kMicrosecond);

void BM_FileKeyStoreCopyPassword(benchmark::State& state) {
    ScratchDir dir;
    FileKeyStore store(dir.path);
    store.replacePassword("isPaired", "isPaired", {'i', 's'});
    std::vector<std::uint8_t> data;
    for (auto _ : state)
        benchmark::DoNotOptimize(store.copyPassword("isPaired", "isPaired", data));
}
BENCHMARK(BM_FileKeyStoreCopyPassword)->Unit(benchmark::kMicrosecond);

void BM_FileKeyStoreCopyPrivateKeyRefAndSign(benchmark::State& state) {
    ScratchDir dir;
    FileKeyStore store(dir.path);
    store.generateRSAKeyPair("pub", "priv", 2048);
    const std::vector<std::uint8_t> digest(32, 0x5A);
    std::vector<std::uint8_t> signature;
    for (auto _ : state) {
        std::shared_ptr<const velquor::KeyRef> key;
        store.copyKeyRef("priv", key);
        benchmark::DoNotOptimize(key->rawSign(DigestAlgorithm::sha256, digest, signature));
    }
}
BENCHMARK(BM_FileKeyStoreCopyPrivateKeyRefAndSign)->Unit(benchmark::kMicrosecond);

void BM_CreatePublicKey2048(benchmark::State& state) {
    ScratchDir dir;
    FileKeyStore store(dir.path);
    auto key = velquor::detail::RSAKeyCodec::generate(2048);
    std::vector<std::uint8_t> pkcs1;
    velquor::detail::RSAKeyCodec::encodePublicPkcs1(key.get(), pkcs1);
    for (auto _ : state)
        benchmark::DoNotOptimize(store.createPublicKey(pkcs1));
}
BENCHMARK(BM_CreatePublicKey2048)->Unit(benchmark::kMicrosecond);

// Submission to completion of one task, as seen by the submitting thread.
template <bool Main> void BM_QueueRoundTrip(benchmark::State& state) {
    velquor::detail::ThreadPoolDispatchQueues queues;
    std::mutex mutex;
    std::condition_variable cv;
    for (auto _ : state) {
        bool done = false;
        auto task = [&] {
            std::lock_guard lock(mutex);
            done = true;
            cv.notify_one();
        };
        if constexpr (Main)
            queues.asyncMain(task);
        else
            queues.asyncGlobal(QualityOfService::userInitiated, task);
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return done; });
    }
}
BENCHMARK(BM_QueueRoundTrip<false>)->Name("BM_GlobalQueueRoundTrip")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_QueueRoundTrip<true>)->Name("BM_MainQueueRoundTrip")->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
