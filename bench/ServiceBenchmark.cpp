// How many signed "deviceInfo" round trips the reference service answers per second from several
// concurrent clients on loopback, next to this machine's RSA-2048 signing rate measured in the
// same run. Every reply is signed with the service key, so the signing rate bounds the service;
// the closing note gives the ratio. Request tokens are signed before the timed loop, so client
// signing does not compete with the service for the measured time.
//
// The built velquor-reference-service also runs as a child process, and its own CPU time (user
// plus system, from /proc/PID/stat before and after the timed loop, connections kept alive so
// handshakes stay outside) is reported per signed reply, in RSA-2048 signatures signed among the
// requests of that loop (SHA-256, RSA-2048, the service's own signing code).
// For scale, a minimal TLS signer on a thread of this process is measured the same way: it reads
// each request, checks its RS256 signature, signs a reply of the real reply's size and writes it,
// with no HTTP routing, JSON or database, which is the least any service does per signed reply.
#include "ReferenceService.hpp"
#include "ServiceBase64.hpp"
#include "ServiceKeys.hpp"
#include "ServiceToken.hpp"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>

using nlohmann::json;
using velquor::service::ReferenceService;
using velquor::service::Region;
using velquor::service::ServiceBase64;
using velquor::service::ServiceKeys;
using velquor::service::ServiceToken;

namespace {

constexpr int requestsPerThread = 200;
constexpr int largestThreadCount = 4;

size_t collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// One keep-alive HTTPS connection verified against the service's CA.
class Client {
public:
    explicit Client(const std::string& caFile)
        : curl_(curl_easy_init())
        , caFile_(caFile) {
        headers_ = curl_slist_append(headers_, "content-type: application/jwt");
        headers_ = curl_slist_append(headers_, "Accept: application/jwt");
    }
    ~Client() {
        curl_slist_free_all(headers_);
        curl_easy_cleanup(curl_);
    }
    long post(const std::string& url, const std::string& body, std::string& reply) {
        reply.clear();
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_CAINFO, caFile_.c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &reply);
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 30L);
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        long status = 0;
        if (curl_easy_perform(curl_) == CURLE_OK)
            curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
        return status;
    }
    long postJson(const std::string& url, const json& body, std::string& reply) {
        curl_slist* json = curl_slist_append(nullptr, "content-type: application/json");
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, json);
        const auto text = body.dump();
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_CAINFO, caFile_.c_str());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, text.data());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE, static_cast<long>(text.size()));
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &reply);
        reply.clear();
        long status = 0;
        if (curl_easy_perform(curl_) == CURLE_OK)
            curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
        curl_slist_free_all(json);
        return status;
    }

private:
    CURL* curl_;
    std::string caFile_;
    curl_slist* headers_ = nullptr;
};

std::string uuid() {
    unsigned char bytes[16];
    RAND_bytes(bytes, sizeof bytes);
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

long long now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Device {
    std::optional<ServiceKeys> key;
    std::string id;
    std::string installedApplicationId;
};

json deviceData() {
    return {
        {"os", {{"version", "17.0"}, {"type", "IOS"}}},
        {"model", {{"name", "iPhone12,1"}, {"marketingName", "iPhone 11"}}},
        {"name", "Bench phone"},
        {"manufacturer", "Apple"},
        {"apiVersion", "v1"},
        {"sdkVersion", "2.4.0(7)"},
        {"rooted", false},
        {"lockEnabled", "true"},
        {"locale", "en-US"},
        {"networkType", "WiFi"},
        {"networksInfo", "unknown"},
        {"application",
         {{"bundleId", "com.example.host"}, {"version", "1.0(1)"}, {"name", "Host"}, {"pushSandbox", false}}},
        {"permissions",
         {{"camera", "authorized"},
          {"location", "notEnabled"},
          {"push", "unknown"},
          {"silentPush", "available"}}}};
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// A private temporary directory, removed with everything in it.
std::filesystem::path privateDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velquor-bench-service-XXXXXX").string();
    return ::mkdtemp(pattern.data()) ? std::filesystem::path(pattern) : std::filesystem::path();
}

// A process's user plus system CPU time so far, in seconds (fields 14 and 15 of /proc/PID/stat).
double processCpuSeconds(pid_t process) {
    const auto stat = readFile("/proc/" + std::to_string(process) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14)
            user = std::stoull(field);
        if (index == 15) {
            system = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The service under test and one paired device per client thread, made once: in process, or
// (`childProcess`) the built executable run as a child, its addresses read from its ready file.
struct Fixture {
    std::filesystem::path directory;
    std::unique_ptr<ReferenceService> service;
    pid_t child = -1;
    std::string caFile, adminURL, baseURL;
    std::vector<Device> devices;
    std::string error;

    explicit Fixture(bool childProcess) {
        directory = privateDirectory();
        if (childProcess) {
            startChild();
        } else {
            service = std::make_unique<ReferenceService>(
                velquor::service::ServiceOptions{"127.0.0.1", 0, directory / "state", false});
            if (auto failed = service->start())
                error = *failed;
            else {
                caFile = service->caCertificatePath();
                adminURL = service->adminURL();
                baseURL = service->baseURL(Region::eu);
            }
        }
        if (!error.empty())
            return;
        Client client(caFile);
        for (int i = 0; i < largestThreadCount && error.empty(); ++i) {
            Device device;
            device.key = ServiceKeys::generate(2048, error);
            std::string reply;
            client.postJson(adminURL + "pairing-keys", {{"region", "EU"}}, reply);
            const auto key = json::parse(reply, nullptr, false).value("pairingKey", "");
            const json claims{{"pairingKey", key},
                              {"mobileDevice", {{"publicKey", device.key->publicKeyBase64()}}},
                              {"installedApplication", {{"pushToken", "00ab10"}}},
                              {"fnp", "5B1F2A9C-0000-4000-8000-000000000001"},
                              {"metadata", deviceData()},
                              {"jti", uuid()},
                              {"exp", now() + 120}};
            if (client.post(baseURL + "v1/pairings", ServiceToken::unsignedToken(claims), reply) != 201) {
                error = "pairing failed: " + reply;
                break;
            }
            std::string problem;
            const auto token = ServiceToken::parse(reply, problem);
            device.id = token->claims()["mobileDevice"]["id"];
            device.installedApplicationId = token->claims()["installedApplication"]["id"];
            devices.push_back(std::move(device));
        }
    }
    ~Fixture() {
        service.reset();
        if (child > 0) {
            ::kill(child, SIGTERM);
            ::waitpid(child, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    void startChild() {
        const auto ready = directory / "ready.json";
        std::vector<std::string> arguments{VELQUOR_SERVICE_EXECUTABLE, "--state-dir",
                                           (directory / "state").string(), "--ready-file", ready.string()};
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            child = -1;
        posix_spawn_file_actions_destroy(&actions);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        json description;
        while (child > 0 && std::chrono::steady_clock::now() < deadline) {
            description = json::parse(readFile(ready), nullptr, false);
            if (description.is_object())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!description.is_object()) {
            error = "the service program did not start";
            return;
        }
        caFile = description["caCertificate"];
        adminURL = description["adminURL"];
        baseURL = description["baseURLs"]["EU"];
    }

    double childCpuSeconds() const { return processCpuSeconds(child); }

    // A signed deviceInfo token, as a paired device sends it.
    std::string token(const Device& device) const {
        const json claims{{"iss", device.installedApplicationId},
                          {"dvc", device.id},
                          {"jti", uuid()},
                          {"exp", now() + 290},
                          {"fnp", "5B1F2A9C-0000-4000-8000-000000000001"},
                          {"metadata", deviceData()}};
        // "kid" names the device; the service looks its key up by it.
        const auto header = std::string("{\"alg\":\"RS256\",\"typ\":\"JWT\",\"kid\":\"") + device.id + "\"}";
        return signWithKid(header, claims, device);
    }

    std::vector<std::string> tokens(const Device& device, int count) const {
        std::vector<std::string> made;
        while (static_cast<int>(made.size()) < count)
            made.push_back(token(device));
        return made;
    }

    static std::string signWithKid(const std::string& header, const json& claims, const Device& device);
};

Fixture& fixture() {
    static Fixture instance(false);
    return instance;
}

Fixture& childFixture() {
    static Fixture instance(true);
    return instance;
}

// The service program's fixture, or nullptr when it did not start (the run is then skipped).
Fixture* startedChild(benchmark::State& state) {
    auto& setup = childFixture();
    if (setup.error.empty())
        return &setup;
    state.SkipWithError(("no service program: " + setup.error).c_str());
    return nullptr;
}

std::string base64Url(const std::string& bytes) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned n =
            (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 | (unsigned char)bytes[i + 2];
        out += {alphabet[n >> 18 & 63], alphabet[n >> 12 & 63], alphabet[n >> 6 & 63], alphabet[n & 63]};
    }
    if (bytes.size() - i == 1) {
        const unsigned n = (unsigned char)bytes[i] << 16;
        out += {alphabet[n >> 18 & 63], alphabet[n >> 12 & 63]};
    } else if (bytes.size() - i == 2) {
        const unsigned n = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
        out += {alphabet[n >> 18 & 63], alphabet[n >> 12 & 63], alphabet[n >> 6 & 63]};
    }
    return out;
}

std::string Fixture::signWithKid(const std::string& header, const json& claims, const Device& device) {
    const auto input = base64Url(header) + "." + base64Url(claims.dump());
    return input + "." + base64Url(device.key->signSha256(input).value_or(""));
}

void BM_RsaSign2048(benchmark::State& state) {
    std::string error;
    const auto key = ServiceKeys::generate(2048, error);
    // About the size of a deviceInfo reply's signing input.
    const std::string input(900, 'x');
    for (auto _ : state)
        benchmark::DoNotOptimize(key->signSha256(input));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RsaSign2048)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1.0);

void BM_SignedDeviceInfoRoundTrips(benchmark::State& state) {
    auto& setup = fixture();
    if (!setup.error.empty() || static_cast<int>(setup.devices.size()) <= state.thread_index()) {
        state.SkipWithError(("no service: " + setup.error).c_str());
        return;
    }
    const auto& device = setup.devices[static_cast<size_t>(state.thread_index())];
    const auto tokens = setup.tokens(device, requestsPerThread);
    const auto url = setup.baseURL + "v1/deviceInfo";
    Client client(setup.caFile);
    std::string reply;
    client.post(url, setup.token(device), reply); // connect outside the timed loop
    size_t next = 0;
    for (auto _ : state) {
        if (client.post(url, tokens[next++ % tokens.size()], reply) != 200) {
            state.SkipWithError(("deviceInfo refused: " + reply).c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SignedDeviceInfoRoundTrips)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Iterations(requestsPerThread)
    ->Threads(1)
    ->Threads(largestThreadCount);

// /proc counts CPU time in clock ticks (10 ms); 4000 replies (1.5-2 s of service CPU) keep that
// rounding near 1%.
constexpr int childRequests = 4000;
// One reference signature after this many requests: 500 of them over the loop.
constexpr int requestsPerSignature = 8;

double threadCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The timed loop of a server's CPU per reply: posts `tokens` in turn to `url`, and reads
// `serverCpuSeconds` before and after. On this shared machine one signature's CPU time moves by a
// quarter from one moment to the next, so the reference is signed among the requests (one
// reply-sized input after every few, timed by this thread's CPU clock; the server is idle
// meanwhile): it sees the same moments, and the same cold caches, as the server it scales.
// Sets `counter` (CPU per reply) and "signature_cpu_us" (mean CPU of one signature), in us.
void measureCpuPerReply(benchmark::State& state, Client& client, const std::string& url,
                        const std::vector<std::string>& tokens,
                        const std::function<double()>& serverCpuSeconds, const char* counter) {
    std::string error, reply;
    const auto key = ServiceKeys::generate(2048, error);
    if (!key) {
        state.SkipWithError(error.c_str());
        return;
    }
    const std::string input(900, 'x'); // about the size of a deviceInfo reply's signing input
    double signingSeconds = 0;
    int signatures = 0;
    size_t next = 0;
    const double before = serverCpuSeconds();
    for (auto _ : state) {
        if (client.post(url, tokens[next++ % tokens.size()], reply) != 200) {
            state.SkipWithError(("refused: " + reply).c_str());
            break;
        }
        if (next % requestsPerSignature == 0) {
            const double start = threadCpuSeconds();
            benchmark::DoNotOptimize(key->signSha256(input));
            signingSeconds += threadCpuSeconds() - start;
            ++signatures;
        }
    }
    const double after = serverCpuSeconds();
    if (state.error_occurred())
        return;
    state.counters[counter] = (after - before) * 1e6 / static_cast<double>(state.iterations());
    state.counters["signature_cpu_us"] = signatures ? signingSeconds * 1e6 / signatures : 0;
    state.SetItemsProcessed(state.iterations());
}

void BM_ChildServiceCpuPerReply(benchmark::State& state) {
    auto* started = startedChild(state);
    if (!started)
        return;
    auto& setup = *started;
    const auto& device = setup.devices[0];
    const auto tokens = setup.tokens(device, childRequests);
    const auto url = setup.baseURL + "v1/deviceInfo";
    Client client(setup.caFile);
    std::string reply;
    client.post(url, setup.token(device), reply); // connect outside the timed loop
    measureCpuPerReply(
        state, client, url, tokens, [&] { return setup.childCpuSeconds(); }, "service_cpu_us_per_reply");
}
BENCHMARK(BM_ChildServiceCpuPerReply)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Iterations(childRequests);

// The least a service does per signed reply (see the top of this file), served to one keep-alive
// connection at a time on its own thread, whose CPU clock is read like the child's /proc entry.
class MinimalSigner {
public:
    // `state` holds the service program's TLS files; `reply` is a real signed reply, whose signing
    // input is signed afresh for every request.
    MinimalSigner(const std::filesystem::path& state, const ServiceKeys& deviceKey, const std::string& reply)
        : deviceKey_(deviceKey)
        , signingInput_(reply.substr(0, reply.rfind('.')))
        , context_(SSL_CTX_new(TLS_server_method())) {
        std::string error;
        signingKey_ = ServiceKeys::generate(2048, error);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (!signingKey_ || !context_ ||
            SSL_CTX_use_certificate_chain_file(context_, (state / "server.pem").c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(context_, (state / "server-key.pem").c_str(), SSL_FILETYPE_PEM) !=
                1 ||
            listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        url_ = "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/v1/deviceInfo";
        thread_ = std::thread([this] { serve(); });
        if (pthread_getcpuclockid(thread_.native_handle(), &clock_) != 0)
            url_.clear();
    }
    ~MinimalSigner() {
        if (listener_ >= 0)
            ::shutdown(listener_, SHUT_RDWR); // ends a waiting accept
        {
            std::lock_guard lock(connectionMutex_);
            stopping_ = true;
            if (connection_ >= 0)
                ::shutdown(connection_, SHUT_RDWR); // ends a read on a connection the client keeps
        }
        if (thread_.joinable())
            thread_.join();
        if (listener_ >= 0)
            ::close(listener_);
        SSL_CTX_free(context_);
    }
    const std::string& url() const { return url_; } // empty when it could not start
    int connections() {
        std::lock_guard lock(connectionMutex_);
        return connections_;
    }
    double cpuSeconds() const {
        timespec used{};
        if (::clock_gettime(clock_, &used) != 0)
            return 0;
        return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
    }

private:
    void serve() {
        for (;;) {
            const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                return;
            {
                std::lock_guard lock(connectionMutex_);
                if (stopping_) {
                    ::close(connection);
                    return;
                }
                connection_ = connection;
                ++connections_;
            }
            const int on = 1;
            ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            SSL* ssl = SSL_new(context_);
            if (ssl && SSL_set_fd(ssl, connection) == 1 && SSL_accept(ssl) == 1)
                answer(ssl);
            SSL_free(ssl);
            std::lock_guard lock(connectionMutex_);
            connection_ = -1;
            ::close(connection);
        }
    }
    // Answers requests until the peer closes: a JWT body after headers with its Content-Length.
    void answer(SSL* ssl) {
        std::string in;
        char buffer[16384];
        for (;;) {
            size_t headersEnd = 0, length = 0;
            while ((headersEnd = in.find("\r\n\r\n")) == std::string::npos ||
                   in.size() < headersEnd + 4 + (length = contentLength(in.substr(0, headersEnd)))) {
                const int got = SSL_read(ssl, buffer, sizeof buffer);
                if (got <= 0)
                    return;
                in.append(buffer, static_cast<size_t>(got));
            }
            const std::string_view token(in.data() + headersEnd + 4, length);
            const auto dot = token.rfind('.');
            const auto signature = ServiceBase64::decodeURL(token.substr(dot + 1));
            const bool valid = dot != std::string_view::npos && signature &&
                               deviceKey_.verifySha256(token.substr(0, dot), *signature);
            const auto body = signingInput_ + "." +
                              ServiceBase64::encodeURL(signingKey_->signSha256(signingInput_).value_or(""));
            const auto reply =
                std::string(valid ? "HTTP/1.1 200 OK" : "HTTP/1.1 401 Unauthorized") +
                "\r\ncontent-type: application/jwt\r\ncontent-length: " + std::to_string(body.size()) +
                "\r\n\r\n" + body;
            if (SSL_write(ssl, reply.data(), static_cast<int>(reply.size())) <= 0)
                return;
            in.erase(0, headersEnd + 4 + length);
        }
    }
    static size_t contentLength(std::string headers) {
        std::transform(headers.begin(), headers.end(), headers.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        const auto at = headers.find("content-length:");
        return at == std::string::npos ? 0 : std::strtoul(headers.c_str() + at + 15, nullptr, 10);
    }

    const ServiceKeys& deviceKey_;
    const std::string signingInput_;
    std::optional<ServiceKeys> signingKey_;
    SSL_CTX* context_;
    int listener_ = -1;
    std::string url_;
    std::mutex connectionMutex_;
    int connection_ = -1; // the connection being answered, so the destructor can end it
    bool stopping_ = false;
    int connections_ = 0;
    std::thread thread_;
    clockid_t clock_{};
};

void BM_MinimalSignerCpuPerReply(benchmark::State& state) {
    auto* started = startedChild(state);
    if (!started)
        return;
    auto& setup = *started;
    const auto& device = setup.devices[0];
    Client client(setup.caFile);
    std::string reply;
    client.post(setup.baseURL + "v1/deviceInfo", setup.token(device), reply);
    MinimalSigner signer(setup.directory / "state", *device.key, reply);
    const auto tokens = setup.tokens(device, childRequests);
    if (signer.url().empty() || client.post(signer.url(), tokens[0], reply) != 200) {
        state.SkipWithError(("the minimal signer did not answer: " + reply).c_str());
        return;
    }
    const int connections = signer.connections();
    measureCpuPerReply(
        state, client, signer.url(), tokens, [&] { return signer.cpuSeconds(); }, "minimal_cpu_us_per_reply");
    if (signer.connections() != connections)
        state.SkipWithError("the client connected again: a handshake would count as the signer's work");
}
BENCHMARK(BM_MinimalSignerCpuPerReply)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Iterations(childRequests);

// Prints the runs as usual and remembers each one's items per second for the closing note.
class NoteTakingReporter : public benchmark::ConsoleReporter {
public:
    // CPU per reply and the mean CPU time of one RSA-2048 signature within its loop.
    struct CpuPerReply {
        double replyUs = 0;
        double signatureUs = 0;
        double signatures() const { return replyUs / signatureUs; }
        bool measured() const { return replyUs > 0 && signatureUs > 0; }
    };
    std::map<std::string, double> rates;
    CpuPerReply service, minimal;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const auto it = run.counters.find("items_per_second");
            if (it != run.counters.end())
                rates[run.benchmark_name()] = it->second.value;
            const auto signature = run.counters.find("signature_cpu_us");
            for (auto [name, into] : {std::pair{"service_cpu_us_per_reply", &service},
                                      std::pair{"minimal_cpu_us_per_reply", &minimal}})
                if (const auto cpu = run.counters.find(name);
                    cpu != run.counters.end() && signature != run.counters.end())
                    *into = {cpu->second.value, signature->second.value};
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    // A peer that hangs up must fail a write of the minimal signer, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    NoteTakingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    double signRate = 0;
    for (const auto& [name, rate] : reporter.rates)
        if (name.rfind("BM_RsaSign2048", 0) == 0)
            signRate = rate;
    // CPU against CPU: on a busy machine wall-clock times would inflate the signature, not the process.
    const auto& service = reporter.service;
    if (service.measured())
        std::printf(
            "Note: the service program spends %.0f us of CPU per signed deviceInfo reply = %.2f RSA-2048 "
            "signatures (%.0f us of CPU each, signed among its requests; goal: at most 1.4)\n",
            service.replyUs, service.signatures(), service.signatureUs);
    if (const auto& minimal = reporter.minimal; minimal.measured()) {
        std::printf(
            "Note: a minimal TLS signer (read, verify, sign, write; no HTTP routing, JSON or database) "
            "spends %.0f us of CPU per reply = %.2f signatures (%.0f us each)\n",
            minimal.replyUs, minimal.signatures(), minimal.signatureUs);
        if (service.measured())
            std::printf("Note: the service's work beyond that minimum: %.0f us of CPU per reply = %.2f "
                        "signatures\n",
                        service.replyUs - minimal.replyUs,
                        (service.replyUs - minimal.replyUs) / service.signatureUs);
    }
    for (const auto& [name, rate] : reporter.rates) {
        if (name.rfind("BM_SignedDeviceInfoRoundTrips", 0) != 0 || signRate <= 0)
            continue;
        std::printf(
            "Note: %s: %.0f signed deviceInfo round trips/s = %.2f x this machine's RSA-2048 signing rate "
            "(%.0f signatures/s on one thread, wall clock)\n",
            name.c_str(), rate, rate / signRate, signRate);
    }
    return 0;
}
