#include "platform/linux/CurlHttpTransport.hpp"

#include "CertificateAuthority.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include <sys/socket.h>

using namespace std::chrono_literals;

namespace velquor::detail {
namespace {

using Outcome = std::pair<std::optional<HttpReply>, std::optional<HttpError>>;
using Header = std::pair<std::string, std::string>;

// A loopback HTTPS server with one route per behaviour under test. A reply cut off mid-body, a
// silent server and refused certificates reach the transport from the reference service in the
// communication tests.
struct LoopbackServer {
    explicit LoopbackServer(const service::TlsFiles& tls)
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
        // For the exit test: ends the connection before reading the upload or replying, or stalls.
        server.Post("/close", [](const auto& request, auto&, const httplib::ContentReader&) {
            ::shutdown(SSL_get_fd(request.ssl), SHUT_RDWR);
        });
        server.Post("/stall", [](const auto&, auto&) { std::this_thread::sleep_for(4s); });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~LoopbackServer() {
        server.stop();
        thread.join();
    }
    httplib::SSLServer server;
    int port = 0;
    std::thread thread;
};

class CurlHttpTransportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        tls = *service::CertificateAuthority::ensure(dir.path(), "", error);
        server = std::make_unique<LoopbackServer>(tls);
    }
    static void TearDownTestSuite() { server.reset(); }
    static std::string url(const std::string& path) {
        return "https://127.0.0.1:" + std::to_string(server->port) + path;
    }
    static Outcome roundTrip(HttpTransport& http, HttpRequest request) {
        auto delivery = std::make_shared<test::Delivery<Outcome>>();
        http.send(std::move(request),
                  [delivery, caller = std::this_thread::get_id()](auto reply, auto error) {
                      EXPECT_NE(std::this_thread::get_id(), caller) << "called inside send";
                      delivery->deliver({reply, error});
                  });
        const auto outcome = delivery->wait(40s);
        EXPECT_FALSE(test::waitUntil([&] { return delivery->count() > 1; }, 50ms)) << "completed twice";
        return outcome.value_or(Outcome{});
    }

    static inline test::TempDir dir;
    static inline service::TlsFiles tls;
    static inline std::unique_ptr<LoopbackServer> server;
};

TEST_F(CurlHttpTransportTest, RoundTripsManyAtOnceFromSeveralThreadsAndFromCompletions) {
    CurlHttpTransport http(tls.caCertificate);
    constexpr int kFirst = 48; // from 4 threads; each completion then sends one more
    // Every seventh body is large enough to go out in many writes.
    const auto bodyOf = [](int i) {
        return std::vector<std::uint8_t>(i % 7 ? 100u + i : 3u << 20, i & 0xff);
    };
    auto outcomes = std::make_shared<std::vector<test::Delivery<Outcome>>>(2 * kFirst);
    std::function<void(int)> post = [&](int i) {
        http.send({"POST", url("/echo"), {{"content-type", "application/jwt"}}, bodyOf(i)},
                  [&, outcomes, i](auto reply, auto error) {
                      // The request that sent this one has delivered: this did not run inside its send.
                      EXPECT_TRUE(i < kFirst || (*outcomes)[i - kFirst].count() == 1);
                      if (i < kFirst)
                          post(i + kFirst); // from the network thread
                      (*outcomes)[i].deliver({reply, error});
                  });
    };
    for (std::vector<std::jthread> senders; senders.size() < 4;)
        senders.emplace_back([&, t = int(senders.size())] {
            for (int i = t; i < kFirst; i += 4)
                post(i);
        });
    for (int i = 0; i < 2 * kFirst; ++i) {
        const auto [reply, error] = (*outcomes)[i].wait(60s).value_or(Outcome{});
        ASSERT_TRUE(reply && !error) << "request " << i;
        EXPECT_EQ((*outcomes)[i].count(), 1);
        EXPECT_EQ(reply->status, 201);
        EXPECT_EQ(reply->body, bodyOf(i));
        for (const Header& header :
             {Header{"X-Mixed-Case", "Value"}, Header{"X-Sent-Type", "application/jwt"}})
            EXPECT_NE(std::ranges::find(reply->headers, header), reply->headers.end()) << header.first;
    }
}

// Closing the connection before the reply, while the upload still runs, is the exit test's. An
// empty address is the server's echo route; an untrusted server is one checked against an absent
// trust file.
TEST_F(CurlHttpTransportTest, FailuresReportTheURLLoadingCode) {
    const std::tuple<const char*, std::string, bool, long, std::vector<Header>> cases[] = {
        {"nothing listening", "https://127.0.0.1:1/", true, -1004, {}},
        {"unresolvable host", "https://no-such-host.invalid/", true, -1003, {}},
        {"absent trust file", "", false, -1200, {}},
        {"line break in a header", "", true, -1, {{"X-A", "a\r\nX-B: b"}}}};
    for (const auto& [name, address, trusted, code, headers] : cases) {
        SCOPED_TRACE(name);
        CurlHttpTransport http(trusted ? tls.caCertificate : dir.path() / "absent", 1s);
        const auto [reply, error] =
            roundTrip(http, {"POST", address.empty() ? url("/echo") : address, headers, {'x'}});
        ASSERT_TRUE(error && !reply);
        EXPECT_EQ(error->domain, "NSURLErrorDomain");
        EXPECT_EQ(error->code, code) << error->localizedDescription;
        EXPECT_FALSE(error->localizedDescription.empty());
    }
}

TEST_F(CurlHttpTransportTest, ProxyVariablesAreReadWhenTheTransportIsMade) {
    test::ScopedEnv proxy("https_proxy", "http://127.0.0.1:1"); // nothing listens there
    CurlHttpTransport proxied(tls.caCertificate);
    ::unsetenv("https_proxy");
    CurlHttpTransport direct(tls.caCertificate);
    ::setenv("https_proxy", "http://127.0.0.1:1", 1); // too late for both
    EXPECT_EQ(roundTrip(proxied, {"POST", url("/echo"), {}, {}}).second.value_or(HttpError{}).code, -1004);
    EXPECT_EQ(roundTrip(direct, {"POST", url("/echo"), {}, {}}).first.value_or(HttpReply{}).status, 201);
}

TEST_F(CurlHttpTransportTest, TheProcessExitsWithTransfersInFlight) {
    test::writeFile(dir.path() / "server", url("") + "\n" + tls.caCertificate.string() + "\n");
    // Status 42: a completion ran after exit began.
    test::expectChildExit(VELQUOR_TEST_HOST, {"http-in-flight", dir.path().string()}, 0,
                          "exiting with transfers in flight\n");
}

} // namespace
} // namespace velquor::detail
