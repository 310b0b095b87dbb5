// Pairing, the push token and the device record, end to end over TLS: a logic layer whose base
// addresses are the in-process reference service's, checked through what it stores and what the
// service's admin interface reports.
#include "FoundationSupport.hpp"
#include "ServiceTestSupport.hpp"
#include "TestSupport.hpp"
#include "flow/LogicLayer.hpp"
#include "platform/linux/CurlHttpTransport.hpp"
#include "state/ItemNames.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace velquor::detail {
namespace {

using service::Region;
using test::Delivery;

struct Answer {
    std::optional<Json> info;
    std::optional<Error> error;
    std::thread::id thread;
    bool onGlobalQueue = false;
};

std::string describe(const std::optional<Error>& error) {
    return error ? error->localizedDescription() + " " + error->userInfo().dump() : "no error";
}

class LogicLayerService : public testing::Test {
protected:
    static void SetUpTestSuite() { running = std::make_unique<service::test::RunningService>(); }
    static void TearDownTestSuite() { running.reset(); }
    void SetUp() override {
        running->adminRaw("DELETE", "faults");
        Platform platform = services.platform(dir.path());
        platform.configuration.northAmericaBaseURL = running->baseURL(Region::na);
        platform.configuration.europeBaseURL = running->baseURL(Region::eu);
        platform.configuration.asiaPacificBaseURL = running->baseURL(Region::au);
        platform.services.http = std::make_shared<CurlHttpTransport>(running->service().caCertificatePath());
        layer = LogicLayer::create(platform);
    }
    void TearDown() override { EXPECT_FALSE(log->contains("delivered twice")); }

    // Runs one operation and waits for its one answer; `sent`: whether a request went out, and so
    // whether the answer must come from the reply thread rather than the global queue.
    template <typename Operation> Answer run(bool sent, Operation operation) {
        const auto requests = log->count("RequestName=");
        Delivery<Answer> delivery;
        operation([&delivery](std::optional<Json> info, std::optional<Error> error) {
            delivery.deliver({std::move(info), std::move(error), std::this_thread::get_id(),
                              test::MarkingQueues::onGlobalQueue()});
        });
        auto answer = delivery.wait(std::chrono::seconds(30));
        EXPECT_TRUE(answer);
        if (!answer)
            return {};
        EXPECT_EQ(log->count("RequestName=") > requests, sent);
        EXPECT_EQ(answer->onGlobalQueue, !sent) << "answered on the global queue";
        EXPECT_NE(answer->thread, std::this_thread::get_id());
        if (sent) {
            replyThread = replyThread == std::thread::id() ? answer->thread : replyThread;
            EXPECT_EQ(answer->thread, replyThread) << "one network thread answers every reply";
        }
        return *answer;
    }
    Answer pair(const std::string& key, bool sent = true) {
        return run(sent, [&](auto answer) {
            layer->pair(key, [answer](auto error) { answer(std::nullopt, error); });
        });
    }
    Answer setToken(const std::vector<std::uint8_t>& token, APNSDeviceTokenType type, bool sent) {
        return run(sent, [&](auto answer) {
            layer->setDeviceToken(token, type, [answer](auto error) { answer(std::nullopt, error); });
        });
    }
    Answer getInfo(bool sent = true) {
        return run(sent, [&](auto answer) { layer->getDeviceInfo(answer); });
    }
    std::optional<std::string> item(std::string_view name) const {
        return layer->keychain().getString(name).text;
    }
    // The service's record of this layer's device.
    Json serviceDevice() const {
        const Json state = running->adminGet("state");
        for (const auto& device : state["devices"])
            if (device["id"] == item(items::kMobileDeviceID).value_or(""))
                return device;
        return nullptr;
    }
    void pairIn(const std::string& region) {
        ASSERT_FALSE(setToken({0x0A, 0x0B}, APNSDeviceTokenType::production, false).error);
        auto answer = pair(running->pairingKey(region));
        ASSERT_FALSE(answer.error) << describe(answer.error);
    }

    static inline std::unique_ptr<service::test::RunningService> running;
    static inline std::thread::id replyThread;
    test::TempDir dir;
    test::TestServices services;
    test::ScopedLogSink log;
    std::shared_ptr<LogicLayer> layer;
};

void expectError(const Answer& answer, int code, int internalCode) {
    ASSERT_TRUE(answer.error);
    EXPECT_EQ(answer.error->code(), code);
    EXPECT_EQ(answer.error->userInfo()["internalErrorCode"], 20000 + internalCode);
}

struct RegionCase {
    const char* region;
    const char* keyPrefix;
};

void PrintTo(const RegionCase& c, std::ostream* out) {
    *out << c.region;
}

class PairingInRegion : public LogicLayerService, public testing::WithParamInterface<RegionCase> {};

// Pairs, finalises and remembers the key's region; afterwards the device record comes from that
// region, with the service's own ids.
TEST_P(PairingInRegion, PairsFinalizesAndReadsTheRecordFromTheKeysRegion) {
    const auto& [region, prefix] = GetParam();
    expectError(getInfo(false), 10008, 51);

    ASSERT_FALSE(setToken({0x00, 0xAB, 0x10}, APNSDeviceTokenType::sandbox, false).error);
    const std::string key = running->pairingKey(region);
    ASSERT_EQ(key.substr(0, 2), prefix);
    auto paired = pair(key);
    ASSERT_FALSE(paired.error) << describe(paired.error);

    EXPECT_EQ(item(items::kIsPaired), "isPaired");
    EXPECT_EQ(services.preferences->value("com.marvisTel.VelquorSDK", "isPaired"),
              MemoryPreferences::Value(true));
    EXPECT_EQ(item(items::kDeviceTokenStr), "00ab10");
    EXPECT_EQ(item(items::kDataCenter), region);
    EXPECT_TRUE(layer->keychain().getKeyRef(items::kServerPublicKeyTag));
    const Json device = serviceDevice();
    ASSERT_TRUE(device.is_object()) << "the stored device id is the service's";
    EXPECT_EQ(device["region"], region);
    EXPECT_EQ(device["installedApplicationId"], item(items::kInstalledApplicationID).value_or(""));
    EXPECT_EQ(device["finalized"], true);
    EXPECT_EQ(device["pushToken"], "00ab10");
    EXPECT_EQ(device["sandbox"], true);

    auto info = getInfo();
    ASSERT_TRUE(info.info) << describe(info.error);
    EXPECT_EQ((*info.info)["id"], device["id"]);
    EXPECT_EQ((*info.info)["region"], region);
    EXPECT_EQ((*info.info)["marketingName"], item(items::kDeviceMarketName).value_or(""));
}

INSTANTIATE_TEST_SUITE_P(Regions, PairingInRegion,
                         testing::Values(RegionCase{"NA", "01"}, RegionCase{"EU", "02"},
                                         RegionCase{"AU", "03"}),
                         [](const auto& info) { return std::string(info.param.region); });

struct PreconditionCase {
    const char* name;
    const char* pairedIn; // "": not paired before
    bool tokenSet;        // setDeviceToken called in this run
    const char* keyRegion;
    int code; // 0: paired
    int internalCode;
};

void PrintTo(const PreconditionCase& c, std::ostream* out) {
    *out << c.name;
}

class PairingPrecondition : public LogicLayerService, public testing::WithParamInterface<PreconditionCase> {};

// The region rule and the push token are checked before anything is sent.
TEST_P(PairingPrecondition, RefusesBeforeSendingOrPairs) {
    const PreconditionCase& c = GetParam();
    if (*c.pairedIn)
        ASSERT_NO_FATAL_FAILURE(pairIn(c.pairedIn));
    else if (c.tokenSet)
        ASSERT_FALSE(setToken({0x0A, 0x0B}, APNSDeviceTokenType::production, false).error);
    else
        layer->keychain().setString(items::kDeviceTokenStr, "0a0b"); // from an earlier run: not enough
    const auto devices = running->adminGet("state")["devices"].size();

    auto answer = pair(running->pairingKey(c.keyRegion), c.code == 0);
    if (c.code == 0) {
        EXPECT_FALSE(answer.error) << describe(answer.error);
        EXPECT_EQ(running->adminGet("state")["devices"].size(), devices + 1);
        EXPECT_EQ(item(items::kDataCenter), c.keyRegion);
    } else {
        expectError(answer, c.code, c.internalCode);
        EXPECT_EQ(running->adminGet("state")["devices"].size(), devices);
        EXPECT_EQ(item(items::kDataCenter),
                  *c.pairedIn ? std::optional<std::string>(c.pairedIn) : std::nullopt);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PairingPrecondition,
                         testing::Values(PreconditionCase{"SameRegionAgain", "EU", true, "EU", 0, 0},
                                         PreconditionCase{"OtherRegion", "EU", true, "AU", 10007, 32},
                                         PreconditionCase{"NoTokenThisRun", "", false, "NA", 10001, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// A token the service does not have yet reaches it with the push environment; one it has sends
// nothing, even when only the environment changed.
TEST_F(LogicLayerService, ChangedPushTokenReachesTheServiceWithItsEnvironment) {
    ASSERT_NO_FATAL_FAILURE(pairIn("NA"));
    struct Step {
        std::vector<std::uint8_t> token;
        APNSDeviceTokenType type;
        bool sent;
        const char* serviceToken;
        bool serviceSandbox;
    };
    const Step steps[] = {
        {{0x0A, 0x0B}, APNSDeviceTokenType::production, false, "0a0b", false},
        {{0xC0, 0x01}, APNSDeviceTokenType::sandbox, true, "c001", true},
        {{0xC0, 0x01}, APNSDeviceTokenType::production, false, "c001", true},
        {{0x0A, 0x0B}, APNSDeviceTokenType::production, true, "0a0b", false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.serviceToken);
        auto answer = setToken(step.token, step.type, step.sent);
        EXPECT_FALSE(answer.error) << describe(answer.error);
        const Json device = serviceDevice();
        EXPECT_EQ(device["pushToken"], step.serviceToken);
        EXPECT_EQ(device["sandbox"], step.serviceSandbox);
        EXPECT_EQ(item(items::kDeviceTokenStr), step.serviceToken);
    }
}

// The pairing reply's status decides whether the pairing is finalised; a pairing the service
// completes at once keeps its region as a finalised one does.
TEST_F(LogicLayerService, PairingReplyStatusDecidesFinalizationAndRegion) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {{"COMPLETED", "EU"},
                                                                        {"REFUSED", std::nullopt}};
    for (const auto& [status, dataCenter] : cases) {
        SCOPED_TRACE(status);
        layer->removeVelquorLocalData();
        ASSERT_FALSE(setToken({0x0A}, APNSDeviceTokenType::production, false).error);
        running->adminPost("faults", {{"path", "v1/pairings"},
                                      {"status", 201},
                                      {"body",
                                       {{"id", "pairing-1"},
                                        {"status", status},
                                        {"installedApplication", {{"id", "app-1"}}},
                                        {"serverPublicKey", running->serverPublicKey()}}}});
        const auto finalizations = log->count("RequestName=finalize");
        auto answer = pair(running->pairingKey("EU"));
        EXPECT_FALSE(answer.error) << describe(answer.error);
        EXPECT_EQ(log->count("RequestName=finalize"), finalizations) << "nothing to finalise";
        EXPECT_EQ(item(items::kIsPaired), "isPaired");
        EXPECT_EQ(item(items::kInstalledApplicationID), "app-1");
        EXPECT_EQ(item(items::kDataCenter), dataCenter);
    }
}

} // namespace
} // namespace velquor::detail
