#include "remote/ResponseHandler.hpp"

#include "log/MemoryLogSink.hpp"
#include "platform/memory/MemoryKeyStore.hpp"
#include "util/Base64.hpp"

#include "OpenSSLTestKeys.hpp"
#include "TokenTestSupport.hpp"

#include <gtest/gtest.h>

#include <map>

namespace velquor::detail {
namespace {

using Items = std::map<std::string, std::string>;

const std::string kKey2048 = base64Encode(test::subjectPublicKeyInfo(test::generateRSAKey(2048).get()));
const std::string kKey1024 = base64Encode(test::subjectPublicKeyInfo(test::generateRSAKey(1024).get()));

class ResponseHandlerTest : public ::testing::Test {
protected:
    void SetUp() override { setLogSink(sink); }
    void TearDown() override { setLogSink(nullptr); }

    Items storedItems() const {
        Items items;
        for (const char* name : {"mobileDeviceID", "deviceMarketName", "installedApplicationID"})
            if (auto text = keychain.getString(name).text)
                items[name] = *text;
        return items;
    }

    std::shared_ptr<MemoryKeyStore> store = std::make_shared<MemoryKeyStore>();
    Keychain keychain{store};
    ResponseHandler handler{keychain};
    std::shared_ptr<MemoryLogSink> sink = std::make_shared<MemoryLogSink>();
};

struct PairingCase {
    const char* name;
    Json claims;
    int internalCode; // -1: the status step runs
    Items stored;
    bool keyStored = false;
};

class ResponseHandlerPairing : public ResponseHandlerTest,
                               public ::testing::WithParamInterface<PairingCase> {};

TEST_P(ResponseHandlerPairing, StoresWhatTheReplyCarriesThenCallsOneStep) {
    const PairingCase& c = GetParam();
    int steps = 0;
    std::optional<Error> failure;
    handler.pairing(
        c.claims,
        [&](auto id, auto status, auto error) {
            ++steps;
            EXPECT_EQ(id, c.claims["id"]);
            EXPECT_EQ(status, c.claims["status"]);
            EXPECT_FALSE(error);
        },
        [&](auto error) {
            ++steps;
            failure = error;
        });
    EXPECT_EQ(steps, 1);
    if (c.internalCode < 0) {
        EXPECT_FALSE(failure);
    } else {
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->code(), 10000);
        EXPECT_EQ(test::internalCode(*failure), c.internalCode);
        EXPECT_EQ(sink->count("Code=10000"), 1u) << "logged once at ERROR";
    }
    EXPECT_EQ(storedItems(), c.stored);
    EXPECT_EQ(keychain.getKeyRef(items::kServerPublicKeyTag) != nullptr, c.keyStored);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ResponseHandlerPairing,
    ::testing::Values(
        PairingCase{"OnlyTheDeviceId",
                    {{"id", "X1"}, {"status", "PENDING_ACK"}, {"mobileDevice", {{"id", "D1"}}}},
                    -1,
                    {{"mobileDeviceID", "D1"}}},
        PairingCase{
            "Everything",
            {{"id", "X1"},
             {"status", "COMPLETED"},
             {"mobileDevice", {{"id", "D1"}, {"marketingName", "Phone"}}},
             {"installedApplication", {{"id", "A1"}}},
             {"serverPublicKey", kKey2048}},
            -1,
            {{"mobileDeviceID", "D1"}, {"deviceMarketName", "Phone"}, {"installedApplicationID", "A1"}},
            true},
        PairingCase{"NullDevice", {{"id", "X1"}, {"status", "S"}, {"mobileDevice", nullptr}}, -1, {}},
        PairingCase{"NoStatus", {{"id", "X1"}, {"mobileDevice", {{"id", "D1"}}}}, 3, {}},
        PairingCase{"IdOfAnotherType", {{"id", 5}, {"status", "S"}}, 3, {}},
        PairingCase{"NotSerialisable", {{"id", "X1"}, {"status", "S"}, {"x", "\xff"}}, 2, {}},
        PairingCase{"KeyNotBase64",
                    {{"id", "X1"},
                     {"status", "S"},
                     {"installedApplication", {{"id", "A1"}}},
                     {"serverPublicKey", "!"}},
                    4,
                    {{"installedApplicationID", "A1"}}},
        PairingCase{
            "KeyOf1024Bits",
            {{"id", "X1"}, {"status", "S"}, {"mobileDevice", {{"id", "D1"}}}, {"serverPublicKey", kKey1024}},
            5,
            {{"mobileDeviceID", "D1"}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct DeviceInfoCase {
    const char* name;
    Json claims;
    int internalCode; // -1: "public" is handed over
    int uploads = 0;
};

class ResponseHandlerDeviceInfo : public ResponseHandlerTest,
                                  public ::testing::WithParamInterface<DeviceInfoCase> {};

TEST_P(ResponseHandlerDeviceInfo, HandsOverThePublicRecordAfterAtMostOneUpload) {
    const DeviceInfoCase& c = GetParam();
    int uploads = 0, answers = 0;
    const auto sendLogs = [&] {
        ++uploads;
    };
    handler.deviceInfo(c.claims, sendLogs, [&](auto record, auto error) {
        ++answers;
        if (c.internalCode < 0) {
            EXPECT_EQ(record, c.claims["public"]);
            EXPECT_FALSE(error);
        } else {
            ASSERT_TRUE(error && !record);
            EXPECT_EQ(error->code(), 10000);
            EXPECT_EQ(test::internalCode(*error), c.internalCode);
        }
    });
    EXPECT_EQ(answers, 1);
    EXPECT_EQ(uploads, c.uploads);

    // Without a handler the outcome is only logged.
    sink->clear();
    handler.deviceInfo(c.claims, sendLogs, nullptr);
    EXPECT_EQ(uploads, 2 * c.uploads);
    EXPECT_EQ(sink->contains(std::to_string(20000 + c.internalCode)), c.internalCode >= 0);
}

const Json kPending = {{"logs", {{"status", "PENDING"}}}};

INSTANTIATE_TEST_SUITE_P(
    Replies, ResponseHandlerDeviceInfo,
    ::testing::Values(
        DeviceInfoCase{"NoDevices", {{"public", {{"a", 1}}}, {"devices", Json::array()}}, -1},
        DeviceInfoCase{
            "TwoPending", {{"public", {{"a", 1}}}, {"devices", {kPending, {{"id", "x"}}, kPending}}}, -1, 1},
        DeviceInfoCase{"PendingInSmallLetters",
                       {{"public", Json::object()}, {"devices", {{{"logs", {{"status", "pending"}}}}}}},
                       -1},
        DeviceInfoCase{"NoDevicesMember", {{"public", Json::object()}}, 53},
        DeviceInfoCase{"NoPublic", {{"devices", {kPending}}}, 52},
        DeviceInfoCase{"PublicNotAnObject", {{"public", 1}, {"devices", {kPending}}}, 52},
        DeviceInfoCase{"DeviceOfAnotherShape",
                       {{"public", Json::object()}, {"devices", {kPending, {{"createdAt", 1.5}}}}},
                       50},
        DeviceInfoCase{
            "NotSerialisable", {{"public", Json::object()}, {"devices", {kPending}}, {"x", "\xff"}}, 49}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace velquor::detail
