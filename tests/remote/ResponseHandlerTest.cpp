#include "remote/ResponseHandler.hpp"

#include "util/Base64.hpp"

#include "FoundationSupport.hpp"
#include "OpenSSLTestKeys.hpp"
#include "TokenTestSupport.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

struct ReplyCase {
    const char* name;
    const char* claims; // "$KEY2048", "$KEY1024": a service key of that size; "$BAD": not UTF-8
    int internalCode;   // -1: the reply is accepted
    const char* after;  // pairing: the identities stored; device information: the uploads started
};

class ResponseHandlerTest : public ::testing::TestWithParam<ReplyCase> {
protected:
    Json claims() const {
        std::string text = GetParam().claims;
        for (auto [name, bits] : {std::pair{"$KEY2048", 2048u}, {"$KEY1024", 1024u}})
            if (auto at = text.find(name); at != std::string::npos)
                text.replace(at, 8,
                             base64Encode(test::subjectPublicKeyInfo(test::generateRSAKey(bits).get())));
        Json json = Json::parse(text);
        if (json.contains("$BAD"))
            json["$BAD"] = "\xff"; // JSON cannot carry it
        return json;
    }
    void expectFailure(const std::optional<Error>& error) const {
        ASSERT_EQ(error.has_value(), GetParam().internalCode >= 0);
        if (error) {
            EXPECT_EQ(error->code(), 10000);
            EXPECT_EQ(test::internalCode(*error), GetParam().internalCode);
            EXPECT_EQ(sink->count(std::to_string(20000 + GetParam().internalCode)), 1u) << "logged once";
        }
    }

    std::shared_ptr<MemoryKeyStore> store = std::make_shared<MemoryKeyStore>();
    Keychain keychain{store};
    test::ScopedLogSink sink;
};

using ResponseHandlerPairing = ResponseHandlerTest;

TEST_P(ResponseHandlerPairing, StoresWhatTheReplyCarriesThenCallsOneStep) {
    const Json reply = claims();
    int calls = 0;
    std::optional<Error> failure;
    const auto step = [&](auto id, auto status, auto error) {
        ++calls;
        EXPECT_EQ(Json(id.value_or("")), reply["id"]);
        EXPECT_EQ(Json(status), reply["status"]);
        EXPECT_FALSE(error);
    };
    ResponseHandler(keychain).pairing(reply, step, [&](auto error) { ++calls, failure = error; });
    EXPECT_EQ(calls, 1);
    expectFailure(failure);
    Json stored = Json::object();
    for (const char* name : {"mobileDeviceID", "deviceMarketName", "installedApplicationID"})
        if (auto text = keychain.getString(name).text)
            stored[name] = *text;
    stored["key"] = keychain.getKeyRef(items::kServerPublicKeyTag) != nullptr;
    EXPECT_EQ(stored, Json::parse(GetParam().after));
}

const ReplyCase kPairingReplies[] = {
    {"OnlyTheDeviceId", R"({"id": "X1", "status": "PENDING_ACK", "mobileDevice": {"id": "D1"}})", -1,
     R"({"mobileDeviceID": "D1", "key": false})"},
    {"Everything",
     R"({"id": "X1", "status": "COMPLETED", "mobileDevice": {"id": "D1", "marketingName": "P"},
                      "installedApplication": {"id": "A1"}, "serverPublicKey": "$KEY2048", "extra": [1]})",
     -1, R"({"mobileDeviceID": "D1", "deviceMarketName": "P", "installedApplicationID": "A1", "key": true})"},
    {"NullDevice", R"({"id": "X1", "status": "S", "mobileDevice": null})", -1, R"({"key": false})"},
    // A reply the wire model refuses (its rules are checked there).
    {"IdOfAnotherType", R"({"id": 5, "status": "S", "mobileDevice": {"id": "D1"}})", 3, R"({"key": false})"},
    {"NotSerialisable", R"({"id": "X1", "status": "S", "$BAD": 0})", 2, R"({"key": false})"},
    // A key the keychain refuses (each reason is checked there).
    {"KeyOf1024Bits", R"({"id": "X1", "status": "S", "mobileDevice": {"id": "D1"},
                                       "serverPublicKey": "$KEY1024"})",
     5, R"({"mobileDeviceID": "D1", "key": false})"}};

INSTANTIATE_TEST_SUITE_P(Replies, ResponseHandlerPairing, ::testing::ValuesIn(kPairingReplies),
                         [](const auto& info) { return std::string(info.param.name); });

using ResponseHandlerDeviceInfo = ResponseHandlerTest;

// A reply handled without a handler starts the same uploads and logs the same error.
TEST_P(ResponseHandlerDeviceInfo, HandsOverThePublicRecordAfterAtMostOneUpload) {
    const Json reply = claims();
    int uploads = 0, answers = 0;
    std::optional<Error> failure;
    ResponseHandler(keychain).deviceInfo(
        reply, [&] { ++uploads; },
        [&](auto record, auto error) {
            ++answers, failure = error;
            EXPECT_EQ(record, error ? std::nullopt : std::optional(reply["public"]));
        });
    EXPECT_EQ(answers, 1);
    expectFailure(failure);
    EXPECT_EQ(uploads, std::stoi(GetParam().after));
    sink->clear();
    ResponseHandler(keychain).deviceInfo(
        reply, [&] { ++uploads; }, nullptr);
    EXPECT_EQ(uploads, 2 * std::stoi(GetParam().after));
    expectFailure(failure);
}

const ReplyCase kDeviceInfoReplies[] = {
    {"NoDevices", R"({"public": {"a": 1}, "devices": []})", -1, "0"},
    {"TwoPending",
     R"({"public": {"a": 1}, "devices": [{"logs": {"status": "PENDING"}}, {"id": "x"},
                                    {"logs": {"status": "PENDING"}}]})",
     -1, "1"},
    {"PendingInSmallLetters", R"({"public": {}, "devices": [{"logs": {"status": "pending"}}]})", -1, "0"},
    {"NoDevicesMember", R"({"public": {}})", 53, "0"},
    {"NoPublic", R"({"devices": [{"logs": {"status": "PENDING"}}]})", 52, "0"},
    {"PublicNotAnObject", R"({"public": 1, "devices": []})", 52, "0"},
    {"DeviceOfAnotherShape",
     R"({"public": {}, "devices": [{"logs": {"status": "PENDING"}}, {"createdAt": 1.5}]})", 50, "0"},
    {"NotSerialisable", R"({"public": {}, "devices": [{"logs": {"status": "PENDING"}}], "$BAD": 0})", 49,
     "0"}};

INSTANTIATE_TEST_SUITE_P(Replies, ResponseHandlerDeviceInfo, ::testing::ValuesIn(kDeviceInfoReplies),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace velquor::detail
