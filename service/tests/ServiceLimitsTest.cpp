// What a hostile or careless client cannot do to the service: nest JSON without end, or hold
// every worker with slow connections. (The upload limit is with the log uploads, the admin media
// type with the admin interface, a foreign state directory with the program.)
#include "ServiceTestSupport.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace velquor::service::test {
namespace {

using namespace std::chrono_literals;

// An object nested `depth` deep: {"a":{"a":...{}}}.
std::string nested(size_t depth) {
    std::string text;
    for (size_t i = 1; i < depth; ++i)
        text += "{\"a\":";
    return text + "{}" + std::string(depth - 1, '}');
}

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

size_t trickle(char* buffer, size_t, size_t, void* stop) {
    if (static_cast<std::atomic<int>*>(stop)->load() < 0)
        return CURL_READFUNC_ABORT;
    ++*static_cast<std::atomic<int>*>(stop);
    std::this_thread::sleep_for(300ms);
    buffer[0] = 'x';
    return 1;
}

TEST(ServiceLimitsTest, RefusesJsonNestedPastTheLimitAndKeepsServing) {
    RunningService running;
    const auto device = running.pair(testKey(0));
    // The outermost value is depth 1; the fault object adds one level to its body.
    for (const auto& [depth, status] :
         std::vector<std::pair<size_t, long>>{{63, 201}, {64, 400}, {200000, 400}}) {
        const auto reply =
            running.adminRaw("POST", "faults", R"({"path":"v1/x","body":)" + nested(depth) + "}");
        EXPECT_EQ(reply.status, status) << depth << reply.body;
    }
    const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
    auto claims = device.claims().dump();
    claims.insert(claims.size() - 1, ",\"deep\":" + deep);
    const std::string input = base64Url(json({{"alg", "RS256"}, {"typ", "JWT"}, {"kid", device.id}}).dump()) +
                              "." + base64Url(claims);
    const auto refused = running.client().postJwt(device.baseURL + "v1/deviceInfo",
                                                  input + "." + base64Url(*device.key->signSha256(input)));
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(running.replyClaims(refused)["details"][0]["target"], "token");
    EXPECT_EQ(running.client().postJwt(device.baseURL + "v1/deviceInfo", device.token()).status, 200);
}

TEST(ServiceLimitsTest, AnswersWhileThirtyConnectionsIdleOrTrickle) {
    RunningService running;
    const auto device = running.pair(testKey(0));
    std::vector<int> idle;
    for (int i = 0; i < 15; ++i)
        idle.push_back(connectTo(running.service().port()));
    std::atomic<int> progress{0};
    std::vector<std::thread> tricklers;
    for (int i = 0; i < 15; ++i)
        tricklers.emplace_back([&] {
            CURL* curl = curl_easy_init();
            curl_slist* headers = curl_slist_append(nullptr, "content-type: application/jwt");
            curl_easy_setopt(curl, CURLOPT_URL, (device.baseURL + "v1/deviceInfo").c_str());
            curl_easy_setopt(curl, CURLOPT_CAINFO, running.service().caCertificatePath().c_str());
            curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
            curl_easy_setopt(curl, CURLOPT_POST, 1L);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, 100000L);
            curl_easy_setopt(curl, CURLOPT_READFUNCTION, trickle);
            curl_easy_setopt(curl, CURLOPT_READDATA, &progress);
            curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
            curl_easy_perform(curl);
            curl_slist_free_all(headers);
            curl_easy_cleanup(curl);
        });
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (progress < 30 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_GE(progress, 30) << "the trickling uploads did not start";

    EXPECT_EQ(running.client().postJwt(device.baseURL + "v1/deviceInfo", device.token()).status, 200);

    progress = -1000000;
    for (auto& thread : tricklers)
        thread.join();
    // A connection that never starts its TLS handshake is closed by the read limit.
    timeval wait{30, 0};
    ::setsockopt(idle[0], SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char byte;
    EXPECT_EQ(::recv(idle[0], &byte, 1, 0), 0) << "the service kept a silent connection open";
    for (const int fd : idle)
        ::close(fd);
}

} // namespace
} // namespace velquor::service::test
