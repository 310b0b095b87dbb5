// The operations of the logic layer: the "paired" gate, the thread each handler runs on, one
// handler call per operation.
#include "FoundationSupport.hpp"
#include "TestSupport.hpp"
#include "TokenTestSupport.hpp"
#include "api/LogicLayerAccess.hpp"
#include "flow/Completion.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <variant>

namespace velquor::detail {
namespace {

using test::Delivery;
using test::MarkingQueues;
using test::ScopedLogSink;
using test::TempDir;
using test::TestServices;

// Where and with what a handler was called.
template <typename Value> struct Call {
    std::optional<Value> value;
    std::optional<Error> error;
    std::thread::id thread;
    bool onGlobalQueue = false;
};

template <typename Value> auto recorder(Delivery<Call<Value>>& delivery) {
    return [&delivery](std::optional<Value> value, std::optional<Error> error) {
        delivery.deliver(
            {std::move(value), std::move(error), std::this_thread::get_id(), MarkingQueues::onGlobalQueue()});
    };
}

using ErrorCall = Call<std::monostate>;

auto errorRecorder(Delivery<ErrorCall>& delivery) {
    return [&delivery](std::optional<Error> error) {
        delivery.deliver(
            {std::nullopt, std::move(error), std::this_thread::get_id(), MarkingQueues::onGlobalQueue()});
    };
}

void expectError(const std::optional<Error>& error, int code, int internalCode) {
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "VelquorErrorDomain");
    EXPECT_EQ(error->code(), code);
    EXPECT_EQ(error->userInfo()["internalErrorCode"], 20000 + internalCode);
    EXPECT_EQ(error->userInfo()["type"], "sdk");
}

// Waits until nothing is left to run, then a little more, so a second (wrong) delivery would show.
template <typename T> void expectExactlyOnce(Delivery<T>& delivery) {
    ASSERT_TRUE(delivery.wait());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(delivery.count(), 1);
}

class LogicLayerFlows : public testing::Test {
protected:
    void SetUp() override { layer = LogicLayer::create(services.platform(dir.path())); }
    void pairDevice() {
        Keychain keychain(services.keyStore);
        keychain.setString("isPaired", "isPaired");
        keychain.setString("installedApplicationID", "app-1");
    }

    TempDir dir;
    TestServices services;
    ScopedLogSink log;
    std::shared_ptr<LogicLayer> layer;
};

// Unpaired, getInfo answers on the global queue and sendLogs on the caller's thread before it
// returns; without a handler the outcome is still logged.
TEST_F(LogicLayerFlows, UnpairedGatesAnswerNotPairedOnTheirThreads) {
    Delivery<Call<Json>> info;
    layer->getDeviceInfo(recorder(info));
    auto call = info.wait();
    ASSERT_TRUE(call);
    expectError(call->error, 10008, 51);
    EXPECT_EQ(call->error->localizedDescription(), "Device is not paired.");
    EXPECT_FALSE(call->value);
    EXPECT_TRUE(call->onGlobalQueue);
    EXPECT_EQ(services.queues->globalQualities(), std::vector{QualityOfService::userInitiated});
    expectExactlyOnce(info);
    EXPECT_TRUE(log->contains("getPairedUserDevices"));
    EXPECT_TRUE(log->contains(R"(logLevel="ERROR" Error Domain=VelquorErrorDomain Code=10008)"));

    Delivery<Call<std::string>> logs;
    layer->sendLogs(recorder(logs));
    ASSERT_EQ(logs.count(), 1) << "answered before sendLogs returned";
    expectError(logs.wait()->error, 10008, 47);
    EXPECT_FALSE(logs.wait()->value);
    EXPECT_EQ(logs.wait()->thread, std::this_thread::get_id());
    EXPECT_EQ(services.queues->globalQualities().size(), 1u) << "nothing more queued";
    expectExactlyOnce(logs);

    const auto logged47 = log->count("\"internalErrorCode\":20047");
    const auto logged51 = log->count("\"internalErrorCode\":20051");
    layer->sendLogs({});
    EXPECT_GT(log->count("\"internalErrorCode\":20047"), logged47);
    layer->getDeviceInfo({});
    EXPECT_TRUE(test::waitUntil([&] { return log->count("\"internalErrorCode\":20051") > logged51; }));
}

TEST_F(LogicLayerFlows, PairedGateIsPresenceAndRemovedDataIsUnpaired) {
    Keychain(services.keyStore).setString("isPaired", "no");
    EXPECT_TRUE(layer->isPaired());
    Keychain(services.keyStore).setString("isPaired", "");
    EXPECT_TRUE(layer->isPaired());
    services.keyStore->addPassword("x", "x", {});
    services.keyStore->deletePassword("isPaired", "isPaired");
    services.keyStore->addPassword("isPaired", "isPaired", {0xFF});
    EXPECT_FALSE(layer->isPaired()) << "an item without text counts as absent";

    pairDevice();
    EXPECT_TRUE(layer->isPaired());
    services.preferences->setValue("com.marvisTel.VelquorSDK", "isPaired", true);
    layer->removeVelquorLocalData();
    EXPECT_FALSE(layer->isPaired());
    EXPECT_EQ(services.preferences->value("com.marvisTel.VelquorSDK", "isPaired"),
              MemoryPreferences::Value(true));
}

TEST_F(LogicLayerFlows, StayPairedFlagIsWrittenAndDeleted) {
    layer->setDevicePairedAfterReinstall(true);
    EXPECT_EQ(Keychain(services.keyStore).getString("stayPaired").text, "stayPaired");
    layer->setDevicePairedAfterReinstall(true);
    EXPECT_EQ(services.keyStore->itemCount(), 1u);
    layer->setDevicePairedAfterReinstall(false);
    EXPECT_FALSE(Keychain(services.keyStore).getString("stayPaired").text);
    layer->setDevicePairedAfterReinstall(false);
    EXPECT_EQ(services.keyStore->itemCount(), 0u);

    // Removing local data of a never-paired device leaves the suite and the flag untouched.
    layer->setDevicePairedAfterReinstall(true);
    const int opens = services.preferences->openCount();
    layer->removeVelquorLocalData();
    EXPECT_EQ(services.preferences->openCount(), opens);
    EXPECT_EQ(Keychain(services.keyStore).getString("stayPaired").text, "stayPaired");
}

TEST_F(LogicLayerFlows, AnswerWithoutAddressFailsWithInternalCode7) {
    Delivery<ErrorCall> delivery;
    layer->answerNotification("APPROVE", std::nullopt, std::nullopt, errorRecorder(delivery));
    auto call = delivery.wait();
    expectError(call->error, 10000, 7);
    EXPECT_TRUE(call->onGlobalQueue);
    EXPECT_TRUE(log->contains("approve method"));
}

TEST_F(LogicLayerFlows, SetDeviceTokenKeepsTheTokenInMemoryAndMasksItInTheLog) {
    Delivery<ErrorCall> delivery;
    layer->setDeviceToken({0x00, 0xAB, 0x10}, APNSDeviceTokenType::sandbox, errorRecorder(delivery));
    auto call = delivery.wait();
    ASSERT_TRUE(call);
    EXPECT_FALSE(call->error) << "not paired: the token stays in memory, nothing to tell the service";
    EXPECT_TRUE(call->onGlobalQueue);
    EXPECT_EQ(layer->push().deviceTokenString(), "00ab10");
    EXPECT_TRUE(layer->push().isApnsSandbox());
    EXPECT_TRUE(log->contains("deviceToken=00a***b10"));
    EXPECT_FALSE(log->contains("00ab10"));
    EXPECT_EQ(services.keyStore->itemCount(), 0u) << "nothing stored";

    Delivery<ErrorCall> second;
    layer->setDeviceToken({}, APNSDeviceTokenType::production, errorRecorder(second));
    ASSERT_TRUE(second.wait());
    EXPECT_EQ(layer->push().deviceTokenString(), "");
    EXPECT_FALSE(layer->push().isApnsSandbox());
    EXPECT_TRUE(log->contains(R"(deviceToken=*** file=)"));
}

TEST_F(LogicLayerFlows, SetDeviceTokenOnAPairedDevice) {
    pairDevice();
    Keychain keychain(services.keyStore);
    keychain.setString("deviceTokenStr", "0a0b");
    Delivery<ErrorCall> same;
    layer->setDeviceToken({0x0A, 0x0B}, APNSDeviceTokenType::production, errorRecorder(same));
    EXPECT_FALSE(same.wait()->error) << "the service already has this token";

    keychain.deleteString("installedApplicationID");
    Delivery<ErrorCall> changed;
    layer->setDeviceToken({0x0C}, APNSDeviceTokenType::production, errorRecorder(changed));
    expectError(changed.wait()->error, 10000, 6);
    EXPECT_EQ(keychain.getString("deviceTokenStr").text, "0a0b") << "stored token unchanged";
}

TEST_F(LogicLayerFlows, ThrowingHandlerIsCaughtLoggedAndIgnored) {
    Delivery<int> after;
    layer->getDeviceInfo(
        [](std::optional<Json>, std::optional<Error>) { throw std::runtime_error("host bug"); });
    layer->sendLogs([](std::optional<std::string>, std::optional<Error>) { throw 42; });
    layer->getDeviceInfo([&](std::optional<Json>, std::optional<Error>) { after.deliver(1); });
    ASSERT_TRUE(after.wait());
    EXPECT_TRUE(test::waitUntil([&] { return log->contains("Completion handler threw: host bug"); }));
    EXPECT_TRUE(log->contains("Completion handler threw a non-standard exception"));
    EXPECT_TRUE(log->contains(R"(logLevel="ERROR" Completion handler threw)"));
}

TEST_F(LogicLayerFlows, ConcurrentCallsEachGetExactlyOneAnswer) {
    constexpr int kCalls = 64;
    std::vector<Delivery<Call<Json>>> deliveries(kCalls);
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&, t] {
            for (int i = t; i < kCalls; i += 4)
                layer->getDeviceInfo(recorder(deliveries[i]));
        });
    for (auto& caller : callers)
        caller.join();
    for (auto& delivery : deliveries) {
        auto call = delivery.wait();
        ASSERT_TRUE(call);
        expectError(call->error, 10008, 51);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (auto& delivery : deliveries)
        EXPECT_EQ(delivery.count(), 1);
}

// A pairing object to approve, made by `layer` from an identity token.
PairingObject pairingObjectOf(LogicLayer& layer, const std::string& pairingKey) {
    Json claims = {{"vq.enrollment", {{"status", "SUCCESS"}, {"pairingKey", pairingKey}}}};
    std::optional<PairingObject> made;
    layer.processIdToken(JSONWebToken::build(claims, std::nullopt, nullptr)->rawString(),
                         [&](std::optional<PairingObject> object, std::optional<Error>) { made = object; });
    EXPECT_TRUE(made);
    return *made;
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
// its own store, and the value objects it makes answer through it; once it is gone they answer
// 10000 / 253 on the caller's thread.
TEST(LogicLayerInstances, EachWorksOnlyThroughItsOwnPlatform) {
    ScopedLogSink log;
    struct Side {
        TempDir dir;
        TestServices services;
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

        Delivery<ErrorCall> approved;
        pairingObjectOf(layer, "01KEY").approve(errorRecorder(approved));
        auto call = approved.wait();
        ASSERT_TRUE(call);
        expectError(call->error, 10001, 1); // no push token set through this layer
        EXPECT_TRUE(call->onGlobalQueue);
        Delivery<ErrorCall> denied;
        LogicLayerAccess::makeNotificationObject(NotificationObject::NotificationType::authentication, 45,
                                                 "https://x.test/a", std::nullopt, own.layer)
            .deny(errorRecorder(denied));
        expectError(denied.wait()->error, 10000, 7); // not one of the service's hosts
        EXPECT_EQ(own.services.queues->globalQualities().size(), 2u) << "both queued by their own layer";
        EXPECT_EQ(other.services.queues->globalQualities().size(), otherQueued);
        EXPECT_EQ(writes(*other.services.keyStore), otherWrites) << "the other store is untouched";
    }
    EXPECT_NE(sides[0].services.keyStore->password("deviceFingerprint", "deviceFingerprint"),
              sides[1].services.keyStore->password("deviceFingerprint", "deviceFingerprint"));

    PairingObject orphan = pairingObjectOf(*sides[0].layer, "01KEY");
    std::weak_ptr<LogicLayer> gone = sides[0].layer;
    sides[0].layer.reset();
    ASSERT_TRUE(test::waitUntil([&] { return gone.expired(); }));
    Delivery<ErrorCall> refused;
    orphan.approve(errorRecorder(refused));
    ASSERT_EQ(refused.count(), 1) << "answered before approve returned";
    expectError(refused.wait()->error, 10000, kLayerGoneInternalCode);
    EXPECT_EQ(refused.wait()->thread, std::this_thread::get_id());
    EXPECT_TRUE(log->contains("The logic layer that made this object is gone"));
}

// A completion passed on through another layer (as a std::function) is the same completion: a
// delivery through either copy uses up the one call.
TEST(Completion, OneCallAcrossEveryCopyAndLayer) {
    ScopedLogSink log;
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
