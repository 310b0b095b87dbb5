#include "platform/linux/CurlHttpTransport.hpp"

#include "CertificateAuthority.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

using namespace std::chrono_literals;

namespace velquor::detail {
namespace {

using Outcome = std::pair<std::optional<HttpReply>, std::optional<HttpError>>;

// A loopback HTTPS server with one route per behaviour under test.
struct LoopbackServer {
    LoopbackServer(const service::TlsFiles& tls, const char* host)
        : server(tls.serverCertificate.c_str(), tls.serverKey.c_str()) {
        // Stalled requests hold a worker each, the exit test's abandoned ones included.
        server.new_task_queue = [] {
            return new httplib::ThreadPool(64);
        };
        server.Post("/echo", [](const httplib::Request& request, httplib::Response& response) {
            response.status = 201;
            response.set_header("X-Mixed-Case", "Value");
            response.set_header("X-Sent-Type", request.get_header_value("Content-Type"));
            response.set_content(request.body, "application/jwt");
        });
        server.Post(
            "/close", [](const httplib::Request& request, httplib::Response&, const httplib::ContentReader&) {
                ::shutdown(SSL_get_fd(request.ssl), SHUT_RDWR); // before reading the upload or replying
            });
        server.Post("/partial", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content_provider(100, "text/plain",
                                          [fd = SSL_get_fd(request.ssl)](auto, auto, auto& sink) {
                                              sink.write("0123456789", 10);
                                              ::shutdown(fd, SHUT_RDWR);
                                              return false;
                                          });
        });
        server.Post("/stall", [this](const httplib::Request&, httplib::Response&) {
            test::waitUntil([this] { return released.load(); }, 30s);
        });
        port = server.bind_to_any_port(host);
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~LoopbackServer() {
        released = true;
        server.stop();
        thread.join();
    }
    httplib::SSLServer server;
    std::atomic<bool> released{false};
    int port = 0;
    std::thread thread;
};

int closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{
        .sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

class CurlHttpTransportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        dirs = new test::TempDir[2];
        tls = *service::CertificateAuthority::ensure(dirs[0].path(), error);
        foreignCA = service::CertificateAuthority::ensure(dirs[1].path(), error)->caCertificate;
        server = new LoopbackServer(tls, "127.0.0.1");
        // The certificate names 127.0.0.1, ::1 and localhost; 127.0.0.2 reaches loopback too.
        otherName = new LoopbackServer(tls, "127.0.0.2");
    }
    static void TearDownTestSuite() {
        delete otherName;
        delete server;
        delete[] dirs;
    }
    static std::string url(const std::string& path, int port = 0) {
        return "https://127.0.0.1:" + std::to_string(port ? port : server->port) + path;
    }
    // Sends and waits (with a deadline) for the one completion.
    static Outcome roundTrip(HttpTransport& http, HttpRequest request) {
        test::Delivery<Outcome> delivery;
        http.send(std::move(request), [&](auto reply, auto error) { delivery.deliver({reply, error}); });
        auto outcome = delivery.wait(40s);
        EXPECT_TRUE(outcome) << "no completion";
        EXPECT_TRUE(test::waitUntil([&] { return delivery.count() == 1; }, 100ms))
            << "completed more than once";
        return outcome.value_or(Outcome{});
    }

    static inline test::TempDir* dirs = nullptr;
    static inline service::TlsFiles tls;
    static inline std::filesystem::path foreignCA;
    static inline LoopbackServer* server = nullptr;
    static inline LoopbackServer* otherName = nullptr;
};

TEST_F(CurlHttpTransportTest, RoundTripsManyRequestsAtOnceFromSeveralThreads) {
    CurlHttpTransport http(tls.caCertificate);
    constexpr int kThreads = 4, kEach = 12;
    std::mutex mutex;
    std::map<int, std::vector<Outcome>> outcomes; // by request, to see each completes once
    std::atomic<int> completions{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = t * kEach; i < (t + 1) * kEach; ++i) {
                HttpRequest request{"POST", url("/echo"), {{"content-type", "application/jwt"}}, {}};
                // Every seventh body is large enough to go out in many writes.
                request.body.assign(i % 7 == 0 ? 3u << 20 : 100u + i, static_cast<std::uint8_t>(i));
                const auto sender = std::this_thread::get_id();
                http.send(std::move(request), [&, i, sender](auto reply, auto error) {
                    EXPECT_NE(std::this_thread::get_id(), sender) << "completion inside send";
                    std::lock_guard lock(mutex);
                    outcomes[i].emplace_back(reply, error);
                    ++completions;
                });
            }
        });
    }
    for (auto& sender : senders)
        sender.join();
    ASSERT_TRUE(test::waitUntil([&] { return completions == kThreads * kEach; }, 60s));
    std::lock_guard lock(mutex);
    for (auto& [i, list] : outcomes) {
        ASSERT_EQ(list.size(), 1u) << "request " << i;
        const auto& [reply, error] = list.front();
        ASSERT_TRUE(reply && !error) << error->localizedDescription;
        EXPECT_EQ(reply->status, 201);
        EXPECT_EQ(reply->body, std::vector<std::uint8_t>(i % 7 == 0 ? 3u << 20 : 100u + i, i));
        using Header = std::pair<std::string, std::string>;
        EXPECT_NE(std::find(reply->headers.begin(), reply->headers.end(), Header{"X-Mixed-Case", "Value"}),
                  reply->headers.end());
        EXPECT_NE(
            std::find(reply->headers.begin(), reply->headers.end(), Header{"X-Sent-Type", "application/jwt"}),
            reply->headers.end());
    }
}

struct FailureCase {
    const char* name;
    std::string url;   // "{port}", "{closed}", "{other}" are filled in
    const char* trust; // "own", "foreign" or "missing"
    std::size_t bodySize;
    long code;
    std::vector<std::pair<std::string, std::string>> headers = {};
};

class CurlHttpTransportFailure : public CurlHttpTransportTest,
                                 public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CurlHttpTransportFailure, ReportsTheURLLoadingCode) {
    const auto& c = GetParam();
    std::string target = c.url;
    for (auto [key, port] :
         {std::pair{"{port}", server->port}, {"{closed}", closedPort()}, {"{other}", otherName->port}})
        if (auto at = target.find(key); at != std::string::npos)
            target.replace(at, std::string(key).size(), std::to_string(port));
    const std::string trust = c.trust == std::string("own")       ? tls.caCertificate.string()
                              : c.trust == std::string("foreign") ? foreignCA.string()
                                                                  : (dirs[0].path() / "absent.pem").string();
    CurlHttpTransport http(trust, 1s);
    const auto [reply, error] =
        roundTrip(http, {"POST", target, c.headers, std::vector<std::uint8_t>(c.bodySize, 'x')});
    ASSERT_FALSE(reply);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "NSURLErrorDomain");
    EXPECT_EQ(error->code, c.code) << error->localizedDescription;
    EXPECT_FALSE(error->localizedDescription.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Loopback, CurlHttpTransportFailure,
    ::testing::Values(
        FailureCase{"ClosedPort", "https://127.0.0.1:{closed}/", "own", 0, -1004},
        FailureCase{"UnresolvableHost", "https://no-such-host.invalid/", "own", 0, -1003},
        FailureCase{"UntrustedAuthority", "https://127.0.0.1:{port}/echo", "foreign", 0, -1202},
        FailureCase{"WrongHostName", "https://127.0.0.2:{other}/echo", "own", 0, -1202},
        FailureCase{"UnreadableTrustFile", "https://127.0.0.1:{port}/echo", "missing", 0, -1200},
        // The upload runs into the closed connection: a SIGPIPE would end this process.
        FailureCase{"ClosedBeforeReply", "https://127.0.0.1:{port}/close", "own", 8u << 20, -1005},
        FailureCase{"ClosedMidBody", "https://127.0.0.1:{port}/partial", "own", 0, -1005},
        FailureCase{"NoByteMoved", "https://127.0.0.1:{port}/stall", "own", 0, -1001},
        FailureCase{"HeaderWithLineBreak",
                    "https://127.0.0.1:{port}/echo",
                    "own",
                    0,
                    -1,
                    {{"X-Name", "a\r\nX-Injected: 1"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CurlTransferErrors, MapsResultsThatLoopbackCannotProvoke) {
    const struct {
        CURLcode result;
        long osError;
        long code;
    } cases[] = {{CURLE_COULDNT_CONNECT, ENETUNREACH, -1009},
                 {CURLE_COULDNT_CONNECT, ECONNREFUSED, -1004},
                 {CURLE_OPERATION_TIMEDOUT, 0, -1001},
                 {CURLE_SSL_CIPHER, 0, -1200},
                 {CURLE_SEND_ERROR, EPIPE, -1005},
                 {CURLE_TOO_MANY_REDIRECTS, 0, -1}};
    for (const auto& c : cases)
        EXPECT_EQ(CurlTransfer::errorFor(c.result, c.osError, "").code, c.code)
            << curl_easy_strerror(c.result);
    EXPECT_EQ(CurlTransfer::errorFor(CURLE_SSL_CIPHER, 0, "").localizedDescription,
              curl_easy_strerror(CURLE_SSL_CIPHER));
    EXPECT_EQ(CurlTransfer::errorFor(CURLE_SSL_CIPHER, 0, "detail").localizedDescription, "detail");
}

TEST_F(CurlHttpTransportTest, ACompletionSendsAgainFromTheNetworkThread) {
    CurlHttpTransport http(tls.caCertificate);
    test::Delivery<bool> inner; // delivers whether the inner completion ran inside its send
    std::atomic<bool> inSend{false};
    std::atomic<int> outerCalls{0};
    http.send({"POST", url("/echo"), {}, {'a'}}, [&](auto, auto) {
        ++outerCalls;
        inSend = true;
        http.send({"POST", url("/echo"), {}, {'b'}},
                  [&](auto reply, auto) { inner.deliver(inSend && reply); });
        inSend = false;
    });
    EXPECT_EQ(inner.wait(40s), std::optional<bool>(false));
    EXPECT_EQ(outerCalls, 1);
    EXPECT_EQ(inner.count(), 1);
}

TEST_F(CurlHttpTransportTest, ProxyVariablesAreReadWhenTheTransportIsMade) {
    const std::string deadProxy = "http://127.0.0.1:" + std::to_string(closedPort());
    ::setenv("https_proxy", deadProxy.c_str(), 1);
    CurlHttpTransport proxied(tls.caCertificate);
    ::unsetenv("https_proxy");
    CurlHttpTransport direct(tls.caCertificate);
    ::setenv("https_proxy", deadProxy.c_str(), 1); // too late for both
    const auto viaProxy = roundTrip(proxied, {"POST", url("/echo"), {}, {}});
    const auto straight = roundTrip(direct, {"POST", url("/echo"), {}, {}});
    ::unsetenv("https_proxy");
    ASSERT_TRUE(viaProxy.second);
    EXPECT_EQ(viaProxy.second->code, -1004);
    ASSERT_TRUE(straight.first);
    EXPECT_EQ(straight.first->status, 201);
}

TEST_F(CurlHttpTransportTest, TheProcessExitsWithTransfersInFlight) {
    test::TempDir dir;
    std::ofstream(dir.path() / "server") << url("") << '\n' << tls.caCertificate.string() << '\n';
    const auto child = test::runChild(VELQUOR_PLATFORM_EXIT_CHILD, {"http-in-flight", dir.path().string()});
    ASSERT_TRUE(child.finished) << "the process hung";
    ASSERT_TRUE(WIFEXITED(child.status)) << "the process died of signal " << WTERMSIG(child.status);
    EXPECT_EQ(WEXITSTATUS(child.status), 0) << "42: a completion ran after exit began";
    EXPECT_EQ(child.output, "exiting with transfers in flight\n");
}

} // namespace
} // namespace velquor::detail
