#include "remote/Communication.hpp"

#include "log/MemoryLogSink.hpp"
#include "platform/linux/CurlHttpTransport.hpp"
#include "remote/RequestBuilder.hpp"
#include "remote/ResponseHandler.hpp"
#include "util/Base64.hpp"
#include "util/Base64URL.hpp"

#include "DeviceTestSupport.hpp"
#include "ServiceTestSupport.hpp"
#include "TokenTestSupport.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;

namespace velquor::detail {
namespace {

using Outcome = std::pair<std::optional<Json>, std::optional<Error>>;

class RecordingConsole : public Console {
public:
    void writeLine(const std::string& line) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Answers every request with one scripted outcome, from a thread of its own; counts the sends.
class ScriptedTransport : public HttpTransport {
public:
    explicit ScriptedTransport(HttpReply reply)
        : reply_(std::move(reply)) {}
    void send(HttpRequest, Completion completion) override {
        ++sends;
        std::thread([reply = reply_, completion = std::move(completion)] {
            completion(reply, std::nullopt);
        }).detach();
    }
    std::atomic<int> sends{0};

private:
    HttpReply reply_;
};

enum class Device { unpaired, paired, pairedWithoutServiceKey };

// Keys a fault's reply carries: the reference service's foreign key, and one of 1024 bits.
std::string foreignKey;
std::string shortKey;

class CommunicationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        running = std::make_unique<service::test::RunningService>();
        running->pair(service::test::TestKey::shared(0)); // learns the service key
        foreignKey = running->service().readyDescription()["foreignPublicKey"].get<std::string>();
        shortKey = base64Encode(test::subjectPublicKeyInfo(test::generateRSAKey(1024).get()));
    }
    static void TearDownTestSuite() { running.reset(); }
    void SetUp() override {
        setLogSink(sink);
        running->adminRaw("DELETE", "faults");
    }
    void TearDown() override { setLogSink(nullptr); }

    Communication communication(std::shared_ptr<HttpTransport> http = nullptr) {
        auto collaborators = fixture.collaborators();
        collaborators.clock = {}; // the service refuses tokens that have expired
        return Communication(
            {http ? http : std::make_shared<CurlHttpTransport>(running->service().caCertificatePath()),
             fixture.store, DataManager::make(collaborators), console, collaborators.reachabilityFlags,
             fixture.queues, collaborators.notificationCenter});
    }
    void prepare(Device device) {
        ASSERT_TRUE(fixture.keychain().getDevicePublicKeyString());
        if (device == Device::unpaired)
            return;
        fixture.pair();
        if (device == Device::paired) {
            ASSERT_FALSE(fixture.keychain().setServerPublicKey(running->serverPublicKey()));
        }
    }
    // Posts from this thread; the handler must run once, on another thread, unless `early`.
    static Outcome post(const Communication& comm, Substance substance, bool early = false) {
        auto delivery = std::make_shared<test::Delivery<Outcome>>();
        const auto caller = std::this_thread::get_id();
        comm.post(std::move(substance), [delivery, caller, early](auto claims, auto error) {
            EXPECT_EQ(std::this_thread::get_id() == caller, early) << "handler thread";
            EXPECT_NE(claims.has_value(), error.has_value()) << "exactly one argument";
            delivery->deliver({claims, error});
        });
        if (early) {
            EXPECT_EQ(delivery->count(), 1) << "answered before post returned";
        }
        auto outcome = delivery->wait(30s);
        EXPECT_FALSE(test::waitUntil([&] { return delivery->count() > 1; }, 50ms)) << "answered twice";
        return outcome.value_or(Outcome{});
    }
    std::string base(service::Region region = service::Region::na) { return running->baseURL(region); }

    static inline std::unique_ptr<service::test::RunningService> running;
    test::DeviceFixture fixture;
    std::shared_ptr<MemoryLogSink> sink = std::make_shared<MemoryLogSink>();
    std::shared_ptr<RecordingConsole> console = std::make_shared<RecordingConsole>();
    RequestBuilder builder{std::make_shared<test::FixedBundle>(test::hostValues())};
};

TEST_F(CommunicationTest, PairsFinalizesAndReadsTheDeviceRecordWithTheService) {
    prepare(Device::unpaired);
    const Communication comm = communication();
    const std::string key = running->pairingKey("EU");
    auto [claims, error] = post(comm, builder.pairingRequest(base(service::Region::eu), key, "0a1b2c3d",
                                                             *fixture.keychain().getDevicePublicKeyString()));
    ASSERT_TRUE(claims) << describeError(*error);
    EXPECT_EQ((*claims)["status"], "PENDING_ACK");
    EXPECT_EQ(sink->count("Successful status code=201"), 2u) << "checked before and after the signature";
    EXPECT_TRUE(sink->contains("Public was found in response"));
    EXPECT_TRUE(sink->contains("pairings response correlation-id="));
    const auto lines = console->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Successful dictionary string Params=" + claims->dump());
    EXPECT_EQ(lines[1], "Successful dictionary pretty string Params=" + claims->dump(2));

    std::optional<std::string> pairingId;
    ResponseHandler(fixture.keychain())
        .pairing(
            *claims, [&](auto id, auto, auto) { pairingId = id; },
            [](auto error) { ADD_FAILURE() << describeError(*error); });
    ASSERT_TRUE(pairingId);
    fixture.keychain().setString("isPaired", "isPaired");

    sink->clear();
    auto finalized = post(comm, builder.finalizeRequest(base(service::Region::eu), *pairingId));
    ASSERT_TRUE(finalized.first) << describeError(*finalized.second);
    EXPECT_TRUE(sink->contains("Public was found in keychain"));
    EXPECT_EQ(sink->count("Successful status code=201") + sink->count("Successful status code=200"), 1u);

    auto info = post(comm, builder.deviceInfoRequest(base(service::Region::eu)));
    ASSERT_TRUE(info.first) << describeError(*info.second);
    EXPECT_TRUE(info.first->at("public").is_object());
    EXPECT_TRUE(info.first->at("devices").is_array());
}

struct FaultCase {
    const char* name;
    Device device;
    Json (*fault)(); // planted on the device-information path; null: none
    int code;
    int internalCode;
    long underlying = 0; // the transport's code under "internalError", 0: none
    const char* tlsFault = nullptr;
    bool networkDown = false;
    std::optional<std::chrono::seconds> inactivityLimit = std::nullopt;
};

class CommunicationFault : public CommunicationTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(CommunicationFault, AnswersWithTheCodeOfTheFailingStep) {
    const FaultCase& c = GetParam();
    prepare(c.device);
    if (c.fault) {
        Json fault = c.fault();
        fault["path"] = "v1/deviceInfo";
        running->adminPost("faults", fault);
    }
    if (c.networkDown)
        test::writeRoutes(fixture.routes.path(), "");
    const std::string address =
        c.tlsFault ? running->service().tlsFaultURL(c.tlsFault, service::Region::na) : base();
    const Communication comm = communication(
        std::make_shared<CurlHttpTransport>(running->service().caCertificatePath(), c.inactivityLimit));

    auto [claims, error] = post(comm, builder.deviceInfoRequest(address));
    ASSERT_TRUE(error) << claims->dump();
    EXPECT_EQ(error->code(), c.code) << describeError(*error);
    EXPECT_EQ(test::internalCode(*error), c.internalCode) << describeError(*error);
    const Json& info = error->userInfo();
    if (c.underlying) {
        EXPECT_EQ(info["type"], "os");
        EXPECT_EQ(info["internalError"]["key"], c.underlying);
        EXPECT_EQ(info["internalError"]["domain"], "NSURLErrorDomain");
    } else {
        EXPECT_EQ(info["type"], c.internalCode == 14 ? "server" : "sdk");
    }
    EXPECT_TRUE(sink->contains("VelquorErrorDomain Code=" + std::to_string(c.code))) << "logged at ERROR";
}

Json signedError(const char* signature, Json body) {
    return {{"status", 400}, {"signature", signature}, {"body", std::move(body)}};
}
Json reply(Json body, const char* signature = "valid") {
    return {{"status", 200}, {"signature", signature}, {"body", std::move(body)}};
}
Json nestedToken() {
    const std::string payload = std::string(100'000, '[') + std::string(100'000, ']');
    return {{"status", 200},
            {"body", base64URLEncodedString(std::string(R"({"alg":"none","typ":"JWT"})")) + "." +
                         base64URLEncodedString(payload) + "."}};
}
const Json kPairingKeyError = {{"code", "INVALID_DATA"}, {"details", {{{"target", "pairingKey"}}}}};
const Json kTimedOut = {{"details", {{{"innerError", {{"actual", "PUSH_CONFIRMATION_TIMED_OUT"}}}}}}};

INSTANTIATE_TEST_SUITE_P(
    ReferenceService, CommunicationFault,
    ::testing::Values(
        FaultCase{"SignedErrorRefined", Device::unpaired,
                  [] { return signedError("valid", kPairingKeyError); }, 10005, 14},
        FaultCase{"UnsignedErrorBeforePairing", Device::unpaired,
                  [] { return signedError("none", kPairingKeyError); }, 10005, 14},
        FaultCase{"ForeignErrorBeforePairing", Device::unpaired,
                  [] {
                      return signedError("foreign", {{"a", 1}});
                  },
                  10003, 14},
        FaultCase{"SignedErrorAfterPairing", Device::paired, [] { return signedError("valid", kTimedOut); },
                  10009, 14},
        FaultCase{"ForeignErrorAfterPairing", Device::paired,
                  [] { return signedError("foreign", kTimedOut); }, 10000, 11},
        FaultCase{"UnsignedReplyAfterPairing", Device::paired,
                  [] {
                      return reply({{"public", 1}}, "none");
                  },
                  10000, 11},
        FaultCase{"UnsignedReplyCarryingAKey", Device::unpaired,
                  [] {
                      return reply({{"serverPublicKey", foreignKey}}, "none");
                  },
                  10000, 11},
        FaultCase{"OwnKeyIgnoredOnceOneIsStored", Device::paired,
                  [] {
                      return Json{{"body", {{"public", 1}}}, {"serverPublicKey", "foreign"}, {"status", 200}};
                  },
                  10000, 11},
        FaultCase{"OwnKeyRefusedWhilePairedWithoutOne", Device::pairedWithoutServiceKey,
                  [] {
                      return Json{{"body", {{"public", 1}}}, {"serverPublicKey", "foreign"}, {"status", 200}};
                  },
                  10000, 24},
        FaultCase{"NoKeyBeforePairing", Device::unpaired,
                  [] {
                      return reply({{"id", "p"}});
                  },
                  10000, 24},
        FaultCase{"KeyNotText", Device::unpaired,
                  [] {
                      return reply({{"serverPublicKey", 5}});
                  },
                  10000, 24},
        FaultCase{"KeyNotBase64", Device::unpaired,
                  [] {
                      return reply({{"serverPublicKey", "not base64!"}});
                  },
                  10000, 23},
        FaultCase{"KeyOf1024Bits", Device::unpaired,
                  [] {
                      return reply({{"serverPublicKey", shortKey}});
                  },
                  10000, 23},
        FaultCase{"PlainJSONError", Device::paired,
                  [] {
                      return Json{{"status", 400}, {"body", R"({"a":1})"}};
                  },
                  10000, 13},
        FaultCase{"EmptyBody", Device::unpaired,
                  [] {
                      return Json{{"status", 200}};
                  },
                  10000, 13},
        FaultCase{"Nested100000Deep", Device::unpaired, nestedToken, 10000, 13},
        FaultCase{"NotUTF8", Device::paired,
                  [] {
                      return Json{{"status", 200}, {"bodyBase64", "//4AYWJj"}};
                  },
                  10003, 12},
        FaultCase{"CutOff", Device::paired,
                  [] {
                      return Json{{"abort", 4}, {"body", "0123456789"}};
                  },
                  10003, 15, -1005},
        FaultCase{"ClosedBeforeReply", Device::unpaired,
                  [] {
                      return Json{{"abort", "beforeReply"}};
                  },
                  10003, 15, -1005},
        FaultCase{"TimedOut", Device::paired,
                  [] {
                      return Json{{"delayMs", 3000}, {"status", 200}};
                  },
                  10003, 15, -1001, nullptr, false, 1s},
        FaultCase{"UntrustedCertificate", Device::paired, nullptr, 10003, 15, -1202, "untrusted"},
        FaultCase{"WrongNameCertificate", Device::unpaired, nullptr, 10003, 15, -1202, "wrongName"},
        FaultCase{"NetworkDown", Device::paired,
                  [] {
                      return Json{{"abort", "beforeReply"}};
                  },
                  10004, 16, 0, nullptr, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommunicationTest, LogsTheCorrelationIdOnlyWhenTheReplyHasOne) {
    prepare(Device::paired);
    const Communication comm = communication();
    for (const Json& id : {Json("abc"), Json(nullptr)}) {
        sink->clear();
        running->adminPost(
            "faults",
            {{"path", "v1/deviceInfo"}, {"status", 503}, {"body", {{"code", "X"}}}, {"correlationId", id}});
        EXPECT_EQ(test::internalCode(*post(comm, builder.deviceInfoRequest(base())).second), 14);
        EXPECT_EQ(sink->contains("deviceInfo response correlation-id=abc"), id.is_string());
        EXPECT_EQ(sink->contains("correlation-id="), id.is_string());
        EXPECT_TRUE(sink->contains("Bad status code=503"));
    }
}

TEST_F(CommunicationTest, RefusesBeforeSendingOnTheCallersThread) {
    auto transport = std::make_shared<ScriptedTransport>(HttpReply{});
    const Communication comm = communication(transport);
    auto [claims, error] = post(comm, builder.deviceInfoRequest(base()), true);
    EXPECT_EQ(test::internalCode(*error), 20) << "no private key: not even an unsigned request goes out";
    prepare(Device::unpaired);
    error = post(comm, Substance("not an address", std::nullopt, "x", std::nullopt), true).second;
    EXPECT_EQ(test::internalCode(*error), 9);
    EXPECT_EQ(error->code(), 10000);
    EXPECT_EQ(transport->sends, 0);
}

TEST_F(CommunicationTest, AReplyThatIsNotAnHTTPResponseFailsTheStatusCheck) {
    prepare(Device::unpaired);
    const std::string token = R"(eyJhbGciOiJub25lIiwidHlwIjoiSldUIn0.e30.)"; // {"alg":"none"}, {}
    auto transport = std::make_shared<ScriptedTransport>(HttpReply{0, {}, test::bytesOf(token)});
    auto [claims, error] = post(communication(transport), builder.deviceInfoRequest(base()));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 10003);
    EXPECT_EQ(test::internalCode(*error), 33);
    EXPECT_EQ(transport->sends, 1);
}

} // namespace
} // namespace velquor::detail
