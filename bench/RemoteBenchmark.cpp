// What a request costs the device: signing one fixed signing input through the device private
// key's handle from the file key store (lookup included) against a raw EVP_DigestSign with a key
// parsed once; and a "deviceInfo" round trip through Communication against the reference service
// on loopback, against one libcurl POST of a prebuilt token plus one signature and one
// verification. Both round trips keep their connection alive; handshakes happen before the timed
// loop.
#include "ReferenceService.hpp"

#include "device/DataManager.hpp"
#include "jwt/RSAPKCS1Signer.hpp"
#include "platform/linux/ConfiguredBundleInfo.hpp"
#include "platform/linux/CurlHttpTransport.hpp"
#include "platform/linux/FileKeyStore.hpp"
#include "platform/linux/LinuxDeviceFacts.hpp"
#include "platform/linux/LinuxNotificationCenter.hpp"
#include "platform/linux/LinuxReachabilityFlagSource.hpp"
#include "platform/linux/ThreadPoolDispatchQueues.hpp"
#include "remote/Communication.hpp"
#include "remote/RequestBuilder.hpp"
#include "remote/RequestToken.hpp"
#include "remote/ResponseHandler.hpp"
#include "state/Keychain.hpp"
#include "util/CurlPtr.hpp"
#include "util/OpenSSLPtr.hpp"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <random>

namespace {

using namespace velquor;
using namespace velquor::detail;

struct ScratchDir {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("velquor-bench-" + std::to_string(std::random_device{}()));
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

const std::string kSigningInput(600, 'h'); // about the size of a request token's signing input

// VELQUOR_BENCH_ROUND_TRIPS changes the count, so that two runs under strace or perf stat can be
// subtracted to give the cost of the timed loop alone.
const int kRoundTrips = [] {
    const char* text = std::getenv("VELQUOR_BENCH_ROUND_TRIPS");
    const int count = text != nullptr ? std::atoi(text) : 0;
    return count > 0 ? count : 400;
}();

// Context switches of the whole process (every thread) per timed iteration, beside the time.
// The loop is also bracketed by two harmless access() calls, so a trace (strace -f) can count the
// system calls of the loop alone: "velquor-bench-loop-begin" ... "velquor-bench-loop-end".
class LoopCounters {
public:
    LoopCounters() {
        ::access("/velquor-bench-loop-begin", F_OK);
        start_ = now();
    }
    void report(benchmark::State& state) const {
        const auto [voluntary, involuntary] = now();
        ::access("/velquor-bench-loop-end", F_OK);
        const double trips = static_cast<double>(state.iterations());
        state.counters["vcsw/trip"] = static_cast<double>(voluntary - start_.first) / trips;
        state.counters["ivcsw/trip"] = static_cast<double>(involuntary - start_.second) / trips;
    }

private:
    static std::pair<long, long> now() {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return {usage.ru_nvcsw, usage.ru_nivcsw};
    }
    std::pair<long, long> start_;
};

void BM_SignThroughKeyStoreHandle(benchmark::State& state) {
    ScratchDir dir;
    Keychain keychain(std::make_shared<FileKeyStore>(dir.path));
    keychain.getDevicePublicKeyString(); // makes the pair
    const std::span input(reinterpret_cast<const std::uint8_t*>(kSigningInput.data()), kSigningInput.size());
    for (auto _ : state) {
        RSAPKCS1Signer signer(SignatureAlgorithm::HashFunction::sha256,
                              RSAKey{keychain.getKeyRef(items::kDevicePrivateKeyTag)});
        benchmark::DoNotOptimize(signer.sign(input));
    }
}
BENCHMARK(BM_SignThroughKeyStoreHandle)->Unit(benchmark::kMicrosecond);

void BM_SignRawWithParsedKey(benchmark::State& state) {
    EVP_PKEY_ptr key(EVP_RSA_gen(2048));
    std::vector<std::uint8_t> signature(256);
    for (auto _ : state) {
        EVP_MD_CTX_ptr context(EVP_MD_CTX_new());
        std::size_t length = signature.size();
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get());
        EVP_DigestSign(context.get(), signature.data(), &length,
                       reinterpret_cast<const unsigned char*>(kSigningInput.data()), kSigningInput.size());
        benchmark::DoNotOptimize(signature.data());
    }
}
BENCHMARK(BM_SignRawWithParsedKey)->Unit(benchmark::kMicrosecond);

// A POST to `url` over TLS trusting `ca` (which must outlive the handle), its reply into `reply`.
void preparePost(CURL* curl, const std::string& url, const std::string& ca, curl_slist* headers,
                 std::string& reply) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
            static_cast<std::string*>(out)->append(data, size * count);
            return size * count;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
}

// A reference service on loopback and a device paired with it through Communication.
struct PairedDevice {
    ScratchDir dir;
    service::ReferenceService service{{.stateDirectory = dir.path / "service"}};
    std::shared_ptr<ThreadPoolDispatchQueues> queues = std::make_shared<ThreadPoolDispatchQueues>();
    std::shared_ptr<FileKeyStore> store = std::make_shared<FileKeyStore>(dir.path / "keys");
    std::shared_ptr<const BundleInfo> bundle = std::make_shared<ConfiguredBundleInfo>(
        HostApplication{"com.example.bench", "Bench", "Bench", "1.0", "1"}, dir.path / "app");
    std::optional<Communication> comm;
    std::string base;

    using Outcome = std::pair<std::optional<Json>, std::optional<Error>>;
    Outcome post(Substance substance) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        comm->post(std::move(substance), [promise](auto claims, auto error) {
            promise->set_value({claims, error});
        });
        return promise->get_future().get();
    }

    bool pair(std::string& why) {
        if (auto error = service.start())
            return why = *error, false;
        base = service.baseURL(service::Region::na);
        DataManager::Collaborators collaborators{store,  std::make_shared<LinuxDeviceFacts>(queues),
                                                 bundle, std::make_shared<LinuxReachabilityFlagSource>(),
                                                 queues, std::make_shared<LinuxNotificationCenter>(),
                                                 {}};
        comm.emplace(Communication::Collaborators{
            std::make_shared<CurlHttpTransport>(service.caCertificatePath()), store,
            DataManager::make(collaborators), nullptr, collaborators.reachabilityFlags, queues,
            collaborators.notificationCenter});
        Keychain keychain(store);
        const RequestBuilder builder(bundle);
        auto paired = post(
            builder.pairingRequest(base, pairingKey(), "0a1b2c3d", *keychain.getDevicePublicKeyString()));
        if (!paired.first)
            return why = "pairing failed: " + paired.second->localizedDescription(), false;
        std::optional<std::string> pairingId;
        ResponseHandler(keychain).pairing(
            *paired.first, [&](auto id, auto, auto) { pairingId = id; }, [](auto) {});
        keychain.setString(items::kIsPaired, "isPaired");
        if (!pairingId || !post(builder.finalizeRequest(base, *pairingId)).first)
            return why = "finalize failed", false;
        return true;
    }

    // A fresh pairing key from the admin interface.
    std::string pairingKey() {
        std::string reply;
        CURL_ptr curl(curl_easy_init());
        const std::string url = service.adminURL() + "pairing-keys", body = R"({"region": "NA"})";
        const std::string ca = service.caCertificatePath().string();
        curl_slist_ptr headers(curl_slist_append(nullptr, "content-type: application/json"));
        preparePost(curl.get(), url, ca, headers.get(), reply);
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_perform(curl.get());
        return Json::parse(reply, nullptr, false).value("pairingKey", "");
    }
};

void BM_DeviceInfoRoundTripThroughCommunication(benchmark::State& state) {
    PairedDevice device;
    if (std::string why; !device.pair(why))
        return state.SkipWithError(why.c_str());
    const RequestBuilder builder(device.bundle);
    const LoopCounters switches;
    for (auto _ : state)
        if (!device.post(builder.deviceInfoRequest(device.base)).first)
            return state.SkipWithError("deviceInfo failed");
    switches.report(state);
}
BENCHMARK(BM_DeviceInfoRoundTripThroughCommunication)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Iterations(kRoundTrips);

// One POST of a request token built before the loop (each token is used once, as the service
// wants), plus one signature and one verification: the least a signed, verified round trip costs.
class BaselineTrips {
public:
    BaselineTrips(PairedDevice& device, int trips)
        : ca_(device.service.caCertificatePath().string()) {
        const Substance substance = RequestBuilder(device.bundle).deviceInfoRequest(device.base);
        DataManager::Collaborators collaborators{device.store,
                                                 std::make_shared<LinuxDeviceFacts>(device.queues),
                                                 device.bundle,
                                                 std::make_shared<LinuxReachabilityFlagSource>(),
                                                 device.queues,
                                                 std::make_shared<LinuxNotificationCenter>(),
                                                 {}};
        const RequestToken tokens(DataManager::make(collaborators), device.store);
        for (int i = 0; i <= trips; ++i)
            prebuilt_.push_back(tokens.makeRequestToken(substance).value());
        preparePost(curl_.get(), substance.urlString, ca_, headers_.get(), reply_);
        post(); // the handshake
    }

    bool trip() {
        if (!post())
            return false;
        EVP_MD_CTX_ptr signing(EVP_MD_CTX_new()), verifying(EVP_MD_CTX_new());
        std::size_t length = signature_.size();
        EVP_DigestSignInit(signing.get(), nullptr, EVP_sha256(), nullptr, key_.get());
        EVP_DigestSign(signing.get(), signature_.data(), &length,
                       reinterpret_cast<const unsigned char*>(kSigningInput.data()), kSigningInput.size());
        EVP_DigestVerifyInit(verifying.get(), nullptr, EVP_sha256(), nullptr, key_.get());
        return EVP_DigestVerify(verifying.get(), signature_.data(), length,
                                reinterpret_cast<const unsigned char*>(kSigningInput.data()),
                                kSigningInput.size()) == 1;
    }

private:
    bool post() {
        long status = 0;
        reply_.clear();
        if (next_ >= prebuilt_.size())
            return false;
        curl_easy_setopt(curl_.get(), CURLOPT_POSTFIELDS, prebuilt_[next_++].c_str());
        return curl_easy_perform(curl_.get()) == CURLE_OK &&
               curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    }

    std::string ca_;
    std::vector<std::string> prebuilt_;
    std::size_t next_ = 0;
    std::string reply_;
    CURL_ptr curl_{curl_easy_init()};
    curl_slist_ptr headers_{curl_slist_append(curl_slist_append(nullptr, "content-type: application/jwt"),
                                              "Accept: application/jwt")};
    EVP_PKEY_ptr key_{EVP_RSA_gen(2048)};
    std::vector<std::uint8_t> signature_ = std::vector<std::uint8_t>(256);
};

void BM_DeviceInfoRoundTripBaseline(benchmark::State& state) {
    PairedDevice device;
    if (std::string why; !device.pair(why))
        return state.SkipWithError(why.c_str());
    BaselineTrips baseline(device, kRoundTrips);
    const LoopCounters switches;
    for (auto _ : state)
        if (!baseline.trip())
            return state.SkipWithError("deviceInfo failed");
    switches.report(state);
}
BENCHMARK(BM_DeviceInfoRoundTripBaseline)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Iterations(kRoundTrips);

// The two round trips above in alternating blocks on one service: whatever changes the
// machine's pace during the run (other processes, the hypervisor) then slows both sides of a
// block alike, where the two separate runs above can land in different moments. Reports the
// median over blocks of the library's time per trip against the baseline's.
void BM_DeviceInfoRoundTripAgainstBaselineInBlocks(benchmark::State& state) {
    constexpr int kBlocks = 20, kTripsPerBlock = 20;
    PairedDevice device;
    if (std::string why; !device.pair(why))
        return state.SkipWithError(why.c_str());
    const RequestBuilder builder(device.bundle);
    BaselineTrips baseline(device, kBlocks * kTripsPerBlock);
    const auto timeBlock = [&](const std::function<bool()>& trip) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kTripsPerBlock; ++i)
            if (!trip())
                return -1.0;
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    const auto library = [&] {
        return device.post(builder.deviceInfoRequest(device.base)).first.has_value();
    };
    const auto reference = [&] {
        return baseline.trip();
    };
    std::vector<double> ratios;
    for (auto _ : state) {
        for (int block = 0; block < kBlocks; ++block) {
            // Each side goes first in every other block, so neither always follows the other.
            const bool libraryFirst = block % 2 == 0;
            const double first = timeBlock(libraryFirst ? std::function<bool()>(library) : reference);
            const double second = timeBlock(libraryFirst ? std::function<bool()>(reference) : library);
            if (first <= 0 || second <= 0)
                return state.SkipWithError("deviceInfo failed");
            ratios.push_back(libraryFirst ? first / second : second / first);
        }
    }
    std::sort(ratios.begin(), ratios.end());
    state.counters["library/baseline"] = (ratios[ratios.size() / 2 - 1] + ratios[ratios.size() / 2]) / 2;
}
BENCHMARK(BM_DeviceInfoRoundTripAgainstBaselineInBlocks)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

} // namespace

BENCHMARK_MAIN();
