// The logic layer over memory stores: start-up (the version line, the reinstall check in each of its
// states, the foreground refresh), the "paired" gate, the thread each handler runs on, one handler
// call per operation; pairing through an identity token, every failure with its own code.
#include "FlowTestSupport.hpp"
#include "TokenTestSupport.hpp"
#include "flow/Completion.hpp"
#include "flow/FlowErrors.hpp"

#include <algorithm>

namespace velquor::detail {
namespace {

using test::Delivery;

constexpr const char* kSuite = "com.marvisTel.VelquorSDK";

class LogicLayerFlows : public LayerTest {
protected:
    // A device that was paired: its items, the device and service keys.
    void storePairing() {
        keychain.setString("isPaired", "isPaired");
        keychain.setString("mobileDeviceID", "device-1");
        keychain.setString("deviceFingerprint", "FINGERPRINT");
        const auto devicePublicKey = keychain.getDevicePublicKeyString();
        ASSERT_TRUE(devicePublicKey);
        ASSERT_EQ(keychain.setServerPublicKey(*devicePublicKey), std::nullopt);
    }
    std::optional<MemoryPreferences::Value> suiteValue(const char* key) const {
        return services.preferences->value(kSuite, key);
    }

    Keychain keychain{services.keyStore};
};

// A fresh install writes the version line, logs its start and writes nothing; its refresh asks nothing.
// The stored data center selects the region; anything else, or nothing, is North America.
TEST_F(LogicLayerFlows, FreshInstallWritesTheVersionLineAndNothingElseAndTheDataCenterSelectsTheAddress) {
    auto layer = start();
    EXPECT_EQ(services.console->lines(), std::vector<std::string>{"Velquor Version 1.0.0(92)"});
    EXPECT_EQ(log->count("Velquor init"), 1u);
    EXPECT_FALSE(log->contains("Velquor Version")) << "the version line is not logged";
    EXPECT_EQ(services.keyStore->itemCount() +
                  services.keyStore->callCount(MemoryKeyStore::Operation::replacePassword),
              0u);
    EXPECT_FALSE(suiteValue("tempValue") || suiteValue("isPaired"));
    EXPECT_FALSE(log->contains("Keep trust") || log->contains("Clean up"));

    EXPECT_EQ(services.queues->delayedDelays(),
              std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(1000)});
    services.queues->runDelayedMain();
    EXPECT_TRUE(services.queues->globalQualities().empty()) << "no device-information body was queued";
    EXPECT_FALSE(log->contains("getPairedUserDevices"));

    const auto& configuration = layer->platform().configuration;
    const std::pair<const char*, std::string> cases[] = {
        {"NA", configuration.northAmericaBaseURL}, {"EU", configuration.europeBaseURL},
        {"AU", configuration.asiaPacificBaseURL},  {"eu", configuration.northAmericaBaseURL},
        {"XX", configuration.northAmericaBaseURL}, {"", configuration.northAmericaBaseURL},
        {"EU ", configuration.northAmericaBaseURL}};
    EXPECT_EQ(layer->baseURL(), configuration.northAmericaBaseURL);
    for (const auto& [dataCenter, expected] : cases) {
        keychain.setString("dataCenter", dataCenter);
        EXPECT_EQ(layer->baseURL(), expected) << '"' << dataCenter << '"';
    }
}

// Whether "stayPaired" is set; whether the suite loses the probe write; whether it cannot be opened.
class LogicLayerReinstall : public LogicLayerFlows,
                            public testing::WithParamInterface<std::tuple<bool, bool, bool>> {};

// A reinstall (a pairing's items, the suite's flag unset) keeps trust with "stayPaired", else
// cleans up; the probe is removed again either way. A probe write that is lost, or a suite that
// cannot be opened, must not be taken for a reinstall.
TEST_P(LogicLayerReinstall, KeepsTrustOnlyWithStayPairedAndOnlyOnAReliableSuite) {
    const auto [stayPaired, losesWrites, cannotOpen] = GetParam();
    const bool checked = !losesWrites && !cannotOpen, kept = stayPaired || !checked;
    storePairing();
    if (stayPaired)
        keychain.setString("stayPaired", "stayPaired");
    services.preferences->setLosesWrites(losesWrites);
    services.preferences->setCannotOpen(cannotOpen);
    const auto itemsBefore = services.keyStore->itemCount();

    auto layer = start();

    EXPECT_EQ(suiteValue("isPaired"),
              checked && stayPaired ? std::optional(MemoryPreferences::Value(true)) : std::nullopt);
    EXPECT_FALSE(suiteValue("tempValue"));
    // What removal deletes and keeps is the keychain's own test; here only whether it ran.
    EXPECT_EQ(services.keyStore->itemCount() == itemsBefore, kept);
    EXPECT_EQ(services.keyStore->callCount(MemoryKeyStore::Operation::deletePassword) == 0, kept);
    EXPECT_EQ(keychain.getString("mobileDeviceID").text.has_value(), kept);
    EXPECT_EQ(services.keyStore->hasKey(std::string(items::kDevicePrivateKeyTag)), kept);
    EXPECT_EQ(log->count("Keep trust"), checked && stayPaired ? 1u : 0u);
    EXPECT_EQ(log->count("Clean up"), kept ? 0u : 1u);
    EXPECT_EQ(log->count("Velquor init"), 1u);
    EXPECT_EQ(layer->isPaired(), kept);
}

INSTANTIATE_TEST_SUITE_P(Cases, LogicLayerReinstall,
                         testing::Values(std::tuple(false, false, false), std::tuple(true, false, false),
                                         std::tuple(false, true, false), std::tuple(false, false, true)));

TEST_F(LogicLayerFlows, ReinstallOnTheLinuxStoresIsDeletingTheApplicationDirectory) {
    auto firstRun = LogicLayer::create(services.platform(dir.path(), false));
    Keychain keychain(firstRun->platform().services.keyStore);
    keychain.setString("isPaired", "isPaired");
    keychain.setString("mobileDeviceID", "device-1");
    auto suite = firstRun->platform().services.preferences->open(kSuite);
    ASSERT_TRUE(suite);
    suite->setBool("isPaired", true);
    ASSERT_TRUE(suite->synchronize());
    suite.reset();
    firstRun.reset();

    // A normal second start keeps everything.
    auto secondRun = LogicLayer::create(services.platform(dir.path(), false));
    EXPECT_TRUE(secondRun->isPaired());
    EXPECT_FALSE(log->contains("Clean up"));
    secondRun.reset();

    std::filesystem::remove_all(dir.path() / "application");
    auto afterReinstall = LogicLayer::create(services.platform(dir.path(), false));
    EXPECT_EQ(log->count("Clean up"), 1u);
    EXPECT_FALSE(afterReinstall->isPaired());
    EXPECT_FALSE(Keychain(afterReinstall->platform().services.keyStore).getString("mobileDeviceID").text);
}

// A normal paired start does not run the reinstall check. Each foreground event schedules its own
// refresh; a destroyed instance stops listening and its late refresh does nothing.
TEST_F(LogicLayerFlows, EachForegroundEventSchedulesItsOwnRefreshUntilTheInstanceIsGone) {
    storePairing();
    services.preferences->setValue(kSuite, "isPaired", true);
    auto layer = start();
    // Start-up opened the suite once to read "isPaired"; the check would open it again for the
    // probe, and would read the key store.
    EXPECT_EQ(services.preferences->openCount(), 1);
    EXPECT_EQ(services.keyStore->callCount(MemoryKeyStore::Operation::copyPassword), 0);
    EXPECT_FALSE(suiteValue("tempValue"));
    services.queues->runDelayedMain();
    ASSERT_TRUE(test::waitUntil([&] { return log->count("getPairedUserDevices") == 1; }));

    auto center = layer->platform().services.notificationCenter;
    center->post(LogicLayer::kWillEnterForegroundNotification, nullptr);
    center->post(LogicLayer::kWillEnterForegroundNotification, nullptr);
    EXPECT_EQ(log->count("App will enter foreground"), 2u);
    EXPECT_EQ(services.queues->delayedDelays().size(), 2u);
    services.queues->runDelayedMain();
    EXPECT_TRUE(test::waitUntil([&] { return log->count("getPairedUserDevices") == 3; }));

    center->post(LogicLayer::kWillEnterForegroundNotification, nullptr);
    // Operation bodies only: the refreshes still in flight submit permission reads meanwhile.
    const auto operations = [&] {
        return std::ranges::count(services.queues->globalQualities(), QualityOfService::userInitiated);
    };
    const auto queued = operations();
    std::weak_ptr<LogicLayer> gone = layer;
    layer.reset();
    ASSERT_TRUE(test::waitUntil([&] { return gone.expired(); }));
    center->post(LogicLayer::kWillEnterForegroundNotification, nullptr);
    EXPECT_EQ(log->count("App will enter foreground"), 3u);
    services.queues->runDelayedMain();
    EXPECT_EQ(operations(), queued);
}

// Unpaired, getInfo answers on the global queue, once to each of many concurrent callers, and
// sendLogs on the caller's thread before it returns (without a handler the outcome is still logged:
// the public interface test). A host's bug, in its handler or in a service the operation uses, is logged; the
// handler still gets exactly one answer.
TEST_F(LogicLayerFlows, UnpairedGatesAnswerNotPairedOnTheirThreadsOnceAndHostBugsAreLogged) {
    const auto layer = start();
    constexpr int kCalls = 64;
    std::vector<Delivery<Call<Json>>> info(kCalls);
    for (std::vector<std::jthread> callers; callers.size() < 4;)
        callers.emplace_back([&, t = int(callers.size())] {
            for (int i = t; i < kCalls; i += 4)
                layer->getDeviceInfo(recorder(info[i]));
        });
    for (auto& delivery : info) {
        const auto call = delivery.wait().value_or(Call<Json>{});
        expectError(call.error, 10008, 51);
        EXPECT_FALSE(call.value);
        EXPECT_TRUE(call.onGlobalQueue);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // a second call would show now
    for (auto& delivery : info)
        EXPECT_EQ(delivery.count(), 1);
    EXPECT_EQ(services.queues->globalQualities(), std::vector(kCalls, QualityOfService::userInitiated));
    EXPECT_TRUE(log->contains("getPairedUserDevices"));
    EXPECT_TRUE(log->contains(R"(logLevel="ERROR" Error Domain=VelquorErrorDomain Code=10008)"));

    Delivery<Call<std::string>> logs;
    layer->sendLogs(recorder(logs));
    ASSERT_EQ(logs.count(), 1) << "answered before sendLogs returned";
    const auto logsCall = once(logs);
    expectError(logsCall.error, 10008, 47);
    EXPECT_FALSE(logsCall.value);
    EXPECT_EQ(logsCall.thread, std::this_thread::get_id());
    EXPECT_EQ(services.queues->globalQualities().size(), std::size_t(kCalls)) << "nothing more queued";

    Delivery<int> after;
    layer->getDeviceInfo(
        [](std::optional<Json>, std::optional<Error>) { throw std::runtime_error("host bug"); });
    layer->sendLogs([](std::optional<std::string>, std::optional<Error>) { throw 42; });
    layer->getDeviceInfo([&](std::optional<Json>, std::optional<Error>) { after.deliver(1); });
    ASSERT_TRUE(after.wait());
    EXPECT_TRUE(test::waitUntil([&] { return log->contains("Completion handler threw: host bug"); }));
    EXPECT_TRUE(log->contains("Completion handler threw a non-standard exception"));
    EXPECT_TRUE(log->contains(R"(logLevel="ERROR" Completion handler threw)"));

    services.keyStore->failNext(MemoryKeyStore::Operation::copyPassword, MemoryKeyStore::kThrows);
    Delivery<Call<>> failed;
    layer->pair("key", recorder(failed));
    expectError(once(failed).error, 10000, 254);
    EXPECT_TRUE(log->contains("Unexpected failure: injected key store failure"));
}

// "isPaired" is the item's presence with any text; removing local data unpairs and leaves the suite's
// flag; "stayPaired" is the host's choice, written and deleted (what removal keeps: the keychain's test).
TEST_F(LogicLayerFlows, PairedGateIsPresenceAndStayPairedFlagIsWrittenAndDeleted) {
    const auto layer = start();
    for (const char* text : {"no", ""}) {
        keychain.setString("isPaired", text);
        EXPECT_TRUE(layer->isPaired()) << '"' << text << '"';
    }
    services.keyStore->deletePassword("isPaired", "isPaired");
    services.keyStore->addPassword("isPaired", "isPaired", {0xFF});
    EXPECT_FALSE(layer->isPaired()) << "an item without text counts as absent";

    keychain.setString("isPaired", "isPaired");
    services.preferences->setValue(kSuite, "isPaired", true);
    layer->setDevicePairedAfterReinstall(true);
    EXPECT_EQ(keychain.getString("stayPaired").text, "stayPaired");
    layer->removeVelquorLocalData();
    EXPECT_FALSE(layer->isPaired());
    EXPECT_EQ(suiteValue("isPaired"), MemoryPreferences::Value(true));
    layer->setDevicePairedAfterReinstall(false);
    EXPECT_FALSE(keychain.getString("stayPaired").text);
}

// Unpaired, the token stays in memory and nothing is told to the service; paired, a changed one
// needs the installed application's id (what the service is told: ServiceFlowsTest).
TEST_F(LogicLayerFlows, SetDeviceToken) {
    const auto layer = start();
    Delivery<Call<>> first, emptied, changed;
    layer->setDeviceToken({0x00, 0xAB, 0x10}, APNSDeviceTokenType::sandbox, recorder(first));
    once(first);
    EXPECT_EQ(layer->push().deviceTokenString(), "00ab10");
    EXPECT_TRUE(layer->push().isApnsSandbox());
    EXPECT_TRUE(log->contains("deviceToken=00a***b10"));
    EXPECT_FALSE(log->contains("00ab10"));
    EXPECT_EQ(services.keyStore->itemCount(), 0u) << "nothing stored";

    layer->setDeviceToken({}, APNSDeviceTokenType::production, recorder(emptied));
    ASSERT_TRUE(emptied.wait());
    EXPECT_EQ(layer->push().deviceTokenString(), "");
    EXPECT_FALSE(layer->push().isApnsSandbox());
    EXPECT_TRUE(log->contains(R"(deviceToken=*** file=)"));

    keychain.setString("isPaired", "isPaired");
    keychain.setString("deviceTokenStr", "0a0b");
    layer->setDeviceToken({0x0C}, APNSDeviceTokenType::production, recorder(changed));
    expectError(once(changed).error, 10000, 6);
    EXPECT_EQ(keychain.getString("deviceTokenStr").text, "0a0b") << "stored token unchanged";
}

// An unsigned identity token with `claims` (a text: the token itself).
std::string idToken(const Json& claims) {
    return claims.is_string() ? claims.get<std::string>()
                              : JSONWebToken::build(claims, std::nullopt, nullptr)->rawString();
}

Json enrollment(const Json& value) {
    return {{"vq.enrollment", value}};
}

// A pairing object to approve, made by `layer` from an identity token.
PairingObject pairingObjectOf(LogicLayer& layer, const std::string& pairingKey) {
    std::optional<PairingObject> made;
    layer.processIdToken(idToken(enrollment({{"status", "SUCCESS"}, {"pairingKey", pairingKey}})),
                         [&](std::optional<PairingObject> object, std::optional<Error>) { made = object; });
    EXPECT_TRUE(made);
    return *made;
}

// The one answer to pairWithIdToken for a token with `claims`, given before it returned, on the
// caller's thread.
Call<PairingObject> idTokenAnswer(const Json& claims) {
    Delivery<Call<PairingObject>> delivery;
    LogicLayer::pairWithIdToken(idToken(claims), recorder(delivery));
    EXPECT_EQ(delivery.count(), 1);
    auto call = delivery.wait(std::chrono::seconds(0)).value_or(Call<PairingObject>{});
    EXPECT_EQ(call.thread, std::this_thread::get_id());
    return call;
}

// A pairing key with SUCCESS gives a pairing object and starts nothing; a missing or non-object
// enrollment answers neither object nor error (code 0); every failure has its own code, a service
// error object being a server error refined by the builder.
TEST(PairingFlowIdToken, EachTokenHasItsOwnAnswer) {
    test::ScopedLogSink log;
    const auto success =
        idTokenAnswer({{"sub", "user"}, {"vq.enrollment", {{"status", "SUCCESS"}, {"pairingKey", "02XYZ"}}}});
    EXPECT_FALSE(success.error);
    EXPECT_EQ(success.value.value().pairingKey(), "02XYZ");
    EXPECT_TRUE(log->contains(R"(Successful JWT IDToken={"sub":"user","vq.enrollment")"));
    EXPECT_FALSE(log->contains("Velquor init")) << "no start-up";

    const Json serviceError = {{"code", "OTHER"}, {"message", "no"}};
    const std::tuple<Json, int, int> cases[] = {
        {Json{{"sub", "u"}}, 0, 0},
        {enrollment("text"), 0, 0},
        {enrollment(Json::array()), 0, 0},
        {enrollment(nullptr), 0, 0},
        // Any token that does not parse (each reason: the token's own test) is a pairing key error.
        {"", 10005, 18},
        {"!!!.e30.", 10005, 18},
        // Any enrollment the wire model refuses (each reason: its own test).
        {enrollment({{"status", 1}}), 10000, 29},
        // Neither a pairing key with SUCCESS nor an error object: the status decides.
        {enrollment({{"status", "SUCCESS"}}), 10000, 30},
        {enrollment({{"status", "PENDING"}, {"pairingKey", "01"}}), 10000, 30},
        {enrollment(Json::object()), 10000, 31},
        {enrollment({{"pairingKey", "01"}, {"status", nullptr}}), 10000, 31},
        {enrollment({{"status", "FAILED"}, {"error", serviceError}}), 10003, 26},
    };
    for (const auto& [claims, code, internalCode] : cases) {
        SCOPED_TRACE(claims.dump());
        const auto call = idTokenAnswer(claims);
        EXPECT_FALSE(call.value);
        EXPECT_EQ(call.error ? Json({call.error->code(), call.error->userInfo()["internalErrorCode"]})
                             : Json(),
                  code ? Json({code, 20000 + internalCode}) : Json());
        if (code == 10003) {
            EXPECT_EQ(call.error->userInfo()["type"], "server");
            EXPECT_EQ(call.error->userInfo()["internalError"], serviceError);
        }
    }
}

// Every call that can change a memory key store.
int writes(const MemoryKeyStore& store) {
    using Op = MemoryKeyStore::Operation;
    int count = 0;
    for (Op op : {Op::addPassword, Op::replacePassword, Op::deletePassword, Op::generateRSAKeyPair,
                  Op::addKey, Op::deleteKey})
        count += store.callCount(op);
    return count;
}

// Two layers in one process over two memory platforms: each signs with its own key, writes only
// its own store, and the pairing objects it makes approve through it; once it is gone they answer
// 10000 / 253 on the caller's thread. (A notification object answering through another layer would
// be refused its service address: the notification flow test.)
TEST(LogicLayerInstances, EachWorksOnlyThroughItsOwnPlatform) {
    test::ScopedLogSink log;
    struct Side {
        test::TempDir dir;
        test::TestServices services;
        std::shared_ptr<LogicLayer> layer;
    } sides[2];
    for (Side& side : sides) {
        side.services.keyStore = std::make_shared<MemoryKeyStore>(MemoryKeyStore::KeyGeneration::fresh);
        side.layer = LogicLayer::create(side.services.platform(side.dir.path()));
        ASSERT_TRUE(side.layer->keychain().getDevicePublicKeyString());
        side.layer->keychain().setString("isPaired", "isPaired");
    }
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        Side& own = sides[i];
        Side& other = sides[1 - i];
        const int otherWrites = writes(*other.services.keyStore);
        const auto otherQueued = other.services.queues->globalQualities().size();

        LogicLayer& layer = *own.layer;
        auto token = layer.requestToken().makeRequestToken(
            layer.requestBuilder().deviceInfoRequest(layer.urlManager().baseURL("01")));
        ASSERT_TRUE(token);
        auto decoded = test::decode(token.value());
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->claims["fnp"],
                  Keychain(own.services.keyStore).getString("deviceFingerprint").text);
        EXPECT_TRUE(test::verifiesWithDevicePublicKey(decoded->token, Keychain(own.services.keyStore)));
        EXPECT_FALSE(test::verifiesWithDevicePublicKey(decoded->token, Keychain(other.services.keyStore)));

        Delivery<Call<>> approved;
        pairingObjectOf(layer, "01KEY").approve(recorder(approved));
        const auto call = once(approved);
        expectError(call.error, 10001, 1); // no push token set through this layer
        EXPECT_TRUE(call.onGlobalQueue);
        EXPECT_EQ(own.services.queues->globalQualities().size(), 1u) << "queued by its own layer";
        EXPECT_EQ(other.services.queues->globalQualities().size(), otherQueued);
        EXPECT_EQ(writes(*other.services.keyStore), otherWrites) << "the other store is untouched";
    }
    EXPECT_NE(sides[0].services.keyStore->password("deviceFingerprint", "deviceFingerprint"),
              sides[1].services.keyStore->password("deviceFingerprint", "deviceFingerprint"));

    PairingObject orphan = pairingObjectOf(*sides[0].layer, "01KEY");
    std::weak_ptr<LogicLayer> gone = sides[0].layer;
    sides[0].layer.reset();
    ASSERT_TRUE(test::waitUntil([&] { return gone.expired(); }));
    Delivery<Call<>> refused;
    orphan.approve(recorder(refused));
    ASSERT_EQ(refused.count(), 1) << "answered before approve returned";
    const auto refusal = once(refused);
    expectError(refusal.error, 10000, kLayerGoneInternalCode);
    EXPECT_EQ(refusal.thread, std::this_thread::get_id());
    EXPECT_TRUE(log->contains("The logic layer that made this object is gone"));
}

// A completion passed on through another layer (as a std::function) is the same completion: a
// delivery through either copy uses up the one call.
TEST(Completion, OneCallAcrossEveryCopyAndLayer) {
    test::ScopedLogSink log;
    int calls = 0;
    ErrorHandler outer =
        completion(ErrorHandler([&](std::optional<Error>) { ++calls; }), "Core/Test", "op()");
    auto inner = completion(outer, "Core/Test", "inner()");
    inner(std::nullopt);
    outer(std::nullopt);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(log->count("delivered twice"), 1u);
    completion(ErrorHandler(), "Core/Test", "op()")(std::nullopt); // an empty handler is only skipped
}

} // namespace
} // namespace velquor::detail
