#include "remote/Communication.hpp"

#include "platform/linux/CurlHttpTransport.hpp"
#include "remote/RequestBuilder.hpp"
#include "remote/ResponseHandler.hpp"
#include "util/Base64.hpp"
#include "util/Base64URL.hpp"

#include "DeviceTestSupport.hpp"
#include "FoundationSupport.hpp"
#include "OpenSSLTestKeys.hpp"
#include "ServiceTestSupport.hpp"
#include "TokenTestSupport.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;

namespace velquor::detail {
namespace {

using Outcome = std::pair<std::optional<Json>, std::optional<Error>>;

// Answers every request with one reply whose status is 0, from a thread of its own.
struct StatusZeroTransport : HttpTransport {
    void send(HttpRequest, Completion completion) override {
        threads.emplace_back([completion = std::move(completion)]() mutable {
            completion(HttpReply{0, {}, test::bytesOf("eyJhbGciOiJub25lIiwidHlwIjoiSldUIn0.e30.")},
                       std::nullopt);
            completion = nullptr; // its references go before the thread ends
        });
    }
    ~StatusZeroTransport() override {
        for (auto& thread : threads)
            thread.get_id() == std::this_thread::get_id() ? thread.detach() : thread.join();
    }
    std::vector<std::thread> threads;
};

enum class Device { unpaired, paired, pairedWithoutServiceKey };

class CommunicationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        running = std::make_unique<service::test::RunningService>();
        running->pair(service::test::testKey(0)); // learns the service key
    }
    static void TearDownTestSuite() { running.reset(); }
    void SetUp() override { running->adminRaw("DELETE", "faults"); }

    Communication communication(std::shared_ptr<HttpTransport> http) {
        auto collaborators = fixture.collaborators();
        collaborators.clock = {}; // the service refuses expired tokens
        return Communication({http, fixture.store, DataManager::make(collaborators), console,
                              collaborators.reachabilityFlags, fixture.queues,
                              collaborators.notificationCenter});
    }
    // An inactivity limit of `inactivity` seconds; 0: the transport's own.
    std::shared_ptr<HttpTransport> curl(int inactivity = 0) {
        return std::make_shared<CurlHttpTransport>(
            running->service().caCertificatePath(),
            inactivity ? std::optional(std::chrono::seconds(inactivity)) : std::nullopt);
    }
    void prepare(Device device) {
        ASSERT_TRUE(fixture.keychain().getDevicePublicKeyString());
        if (device != Device::unpaired)
            fixture.pair();
        if (device == Device::paired) {
            ASSERT_FALSE(fixture.keychain().setServerPublicKey(running->serverPublicKey()));
        }
    }
    // The handler must run exactly once: before post() returns when `early`, else on another thread.
    static Outcome post(const Communication& comm, Substance substance, bool early = false) {
        auto delivery = std::make_shared<test::Delivery<Outcome>>();
        comm.post(std::move(substance),
                  [delivery, early, caller = std::this_thread::get_id()](auto claims, auto error) {
                      EXPECT_EQ(std::this_thread::get_id() == caller, early) << "handler thread";
                      EXPECT_NE(claims.has_value(), error.has_value()) << "exactly one argument";
                      delivery->deliver({claims, error});
                  });
        EXPECT_EQ(delivery->count(), early ? 1 : delivery->count());
        auto outcome = delivery->wait(30s);
        EXPECT_FALSE(test::waitUntil([&] { return delivery->count() > 1; }, 50ms)) << "answered twice";
        return outcome.value_or(Outcome{});
    }
    std::string base(service::Region region = service::Region::na) { return running->baseURL(region); }

    static inline std::unique_ptr<service::test::RunningService> running;
    test::DeviceFixture fixture;
    test::ScopedLogSink sink;
    std::shared_ptr<test::RecordingConsole> console = std::make_shared<test::RecordingConsole>();
    RequestBuilder builder{std::make_shared<test::FixedBundle>(test::hostValues())};
};

TEST_F(CommunicationTest, PairsAndFinalizesWithTheService) {
    prepare(Device::unpaired);
    const Communication comm = communication(curl());
    const std::string eu = base(service::Region::eu);
    auto [claims, error] = post(comm, builder.pairingRequest(eu, running->pairingKey("EU"), "0a1b2c3d",
                                                             *fixture.keychain().getDevicePublicKeyString()));
    ASSERT_TRUE(claims) << describeError(*error);
    EXPECT_EQ(sink->count("Successful status code=201"), 2u) << "checked before and after the signature";
    EXPECT_TRUE(sink->contains("Public was found in response"));
    EXPECT_EQ(console->lines(),
              (std::vector<std::string>{"Successful dictionary string Params=" + claims->dump(),
                                        "Successful dictionary pretty string Params=" + claims->dump(2)}));
    std::optional<std::string> pairingId;
    ResponseHandler(fixture.keychain())
        .pairing(
            *claims, [&](auto id, auto, auto) { pairingId = id; }, nullptr);
    ASSERT_TRUE(pairingId);
    fixture.keychain().setString("isPaired", "isPaired");

    sink->clear();
    auto finalized = post(comm, builder.finalizeRequest(eu, *pairingId));
    ASSERT_TRUE(finalized.first) << describeError(*finalized.second);
    EXPECT_TRUE(sink->contains("Public was found in keychain"));
}

struct FaultCase {
    const char* name;
    int code;
    int internalCode;
    long underlying; // the transport's code under "internalError"; 0: none
    Device device;
    // The fault planted on the device-information path, with "$FOREIGN" for the service's
    // foreign key and "$SHORT" for a key of 1024 bits. Members the test reads itself instead:
    // "tls" (the kind of certificate fault), "routes" (false: no route), "inactivity" (seconds).
    const char* fault;
};

class CommunicationFault : public CommunicationTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(CommunicationFault, AnswersWithTheCodeOfTheFailingStep) {
    const FaultCase& c = GetParam();
    prepare(c.device);
    std::string text = c.fault;
    if (auto at = text.find("$FOREIGN"); at != std::string::npos)
        text.replace(at, 8, running->service().readyDescription()["foreignPublicKey"].get<std::string>());
    if (auto at = text.find("$SHORT"); at != std::string::npos)
        text.replace(at, 6, base64Encode(test::subjectPublicKeyInfo(test::generateRSAKey(1024).get())));
    Json fault = Json::parse(text);
    if (fault.value("nested", false)) // a token whose payload is nested 100,000 deep
        fault["body"] = base64URLEncodedString(std::string(R"({"alg":"none","typ":"JWT"})")) + "." +
                        base64URLEncodedString(std::string(100'000, '[') + std::string(100'000, ']')) + ".";
    if (!fault.value("routes", true))
        test::writeRoutes(fixture.routes.path(), "");
    const std::string tls = fault.value("tls", "");
    if (tls.empty()) {
        Json planted = fault;
        for (const char* own : {"nested", "routes", "inactivity"})
            planted.erase(own);
        planted["path"] = "v1/deviceInfo";
        running->adminPost("faults", planted);
    }
    auto [claims, error] =
        post(communication(curl(fault.value("inactivity", 0))),
             builder.deviceInfoRequest(
                 tls.empty() ? base() : running->service().tlsFaultURL(tls, service::Region::na)));
    ASSERT_TRUE(error) << claims->dump();
    EXPECT_EQ(error->code(), c.code) << describeError(*error);
    EXPECT_EQ(test::internalCode(*error), c.internalCode) << describeError(*error);
    EXPECT_EQ(error->userInfo()["type"], c.underlying ? "os" : c.internalCode == 14 ? "server" : "sdk");
    EXPECT_EQ(error->userInfo().value("/internalError/key"_json_pointer, 0L), c.underlying);
    EXPECT_TRUE(sink->contains("VelquorErrorDomain Code=" + std::to_string(c.code))) << "logged at ERROR";
    if (fault.contains("correlationId")) { // "abc" or null: logged exactly when sent
        const bool sent = fault["correlationId"] == "abc";
        EXPECT_EQ(sink->count("correlation-id="), sent ? 1u : 0u);
        EXPECT_EQ(sink->contains("deviceInfo response correlation-id=abc"), sent);
    }
}

using enum Device;

// A signed refusal to a paired device: the notification flow's "TooLate".
const FaultCase kFaults[] = {
    {"SignedErrorRefined", 10005, 14, 0, unpaired,
     R"({"status":400,"body":{"code":"INVALID_DATA","details":[{"target":"pairingKey"}]},"correlationId":"abc"})"},
    {"UnsignedErrorBeforePairing", 10006, 14, 0, unpaired,
     R"({"status":400,"body":{"code":"INVALID_DATA","details":[{"target":"bundleId"}]},"signature":"none"})"},
    {"ForeignErrorBeforePairing", 10003, 14, 0, unpaired,
     R"({"status":400,"body":{"a":1},"signature":"foreign","correlationId":null})"},
    {"ForeignErrorAfterPairing", 10000, 11, 0, paired,
     R"({"status":400,"body":{"a":1},"signature":"foreign"})"},
    {"UnsignedReplyAfterPairing", 10000, 11, 0, paired,
     R"({"status":200,"body":{"public":{}},"signature":"none"})"},
    {"UnsignedReplyCarryingAKey", 10000, 11, 0, unpaired,
     R"({"status":200,"body":{"serverPublicKey":"$FOREIGN"},"signature":"none"})"},
    {"OwnKeyIgnoredOnceOneIsStored", 10000, 11, 0, paired,
     R"({"status":200,"body":{"public":{}},"serverPublicKey":"foreign"})"},
    {"OwnKeyRefusedWhilePairedWithoutOne", 10000, 24, 0, pairedWithoutServiceKey,
     R"({"status":200,"body":{"public":{}},"serverPublicKey":"foreign"})"},
    {"NoKeyBeforePairing", 10000, 24, 0, unpaired, R"({"status":200,"body":{"id":"p"},"signature":"valid"})"},
    {"KeyNotText", 10000, 24, 0, unpaired,
     R"({"status":201,"body":{"serverPublicKey":5},"signature":"valid"})"},
    {"KeyOf1024Bits", 10000, 23, 0, unpaired,
     R"({"status":200,"body":{"serverPublicKey":"$SHORT"},"signature":"valid"})"},
    {"PlainJSONError", 10000, 13, 0, paired, R"({"status":400,"body":"{\"code\":\"X\"}"})"},
    {"EmptyBody", 10000, 13, 0, unpaired, R"({"status":200})"},
    {"Nested100000Deep", 10000, 13, 0, unpaired, R"({"status":200,"nested":true})"},
    {"NotUTF8", 10003, 12, 0, paired, R"({"status":200,"bodyBase64":"//4AYWJj"})"},
    {"CutOff", 10003, 15, -1005, paired, R"({"abort":4,"body":"0123456789"})"},
    {"ClosedBeforeReply", 10003, 15, -1005, unpaired, R"({"abort":"beforeReply"})"},
    {"TimedOut", 10003, 15, -1001, paired, R"({"status":200,"delayMs":3000,"inactivity":1})"},
    {"UntrustedCertificate", 10003, 15, -1202, paired, R"({"tls":"untrusted"})"},
    {"WrongNameCertificate", 10003, 15, -1202, unpaired, R"({"tls":"wrongName"})"},
    {"NetworkDown", 10004, 16, 0, paired, R"({"abort":"beforeReply","routes":false})"}};

INSTANTIATE_TEST_SUITE_P(ReferenceService, CommunicationFault, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommunicationTest, RefusesBeforeSendingAndNeedsAnHTTPStatus) {
    auto transport = std::make_shared<StatusZeroTransport>();
    const Communication comm = communication(transport);
    auto error = post(comm, builder.deviceInfoRequest(base()), true).second;
    EXPECT_EQ(test::internalCode(*error), 20) << "no private key: not even an unsigned request goes out";
    prepare(Device::unpaired);
    error = post(comm, Substance("not an address", std::nullopt, "x", std::nullopt), true).second;
    EXPECT_EQ(test::internalCode(*error), 9);
    EXPECT_TRUE(transport->threads.empty()) << "nothing sent";
    EXPECT_EQ(
        test::internalCode(*post(communication(nullptr), builder.deviceInfoRequest(base()), true).second),
        15);

    error = post(comm, builder.deviceInfoRequest(base())).second;
    EXPECT_EQ(error->code(), 10003);
    EXPECT_EQ(test::internalCode(*error), 33);
}

} // namespace
} // namespace velquor::detail
