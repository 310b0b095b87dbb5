// The log upload end to end against the reference service over loopback HTTPS. The layer runs over
// the process platform, so every line the library logs is in the log it uploads; the device is
// paired with the service through the transport alone.
#include "platform/linux/CurlHttpTransport.hpp"

#include "FoundationSupport.hpp"
#include "ServiceTestSupport.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

// Starts an operation with a handler that records its answers (value or error).
template <typename T, typename Start> auto started(const Start& start) {
    auto delivery = std::make_shared<test::Delivery<std::pair<std::optional<T>, std::optional<Error>>>>();
    start([delivery](std::optional<T> value, std::optional<Error> error) {
        delivery->deliver({value, error});
    });
    return delivery;
}

TEST(LogUploadFlow, FilesTheLogUnderItsIdAndRemovesOnlyWhatItReadBackOnSuccess) {
    service::test::RunningService running;
    const std::string base = running.baseURL(service::Region::na);
    Platform platform = PlatformContext::get(); // so the log it uploads is the one the library writes
    platform.configuration.northAmericaBaseURL = base;
    platform.services.http = std::make_shared<CurlHttpTransport>(running.service().caCertificatePath());
    platform.services.queues = std::make_shared<test::MarkingQueues>(platform.services.queues); // no refresh
    Keychain keychain(platform.services.keyStore);
    keychain.removeAllItems();
    const auto layer = LogicLayer::create(platform);
    const auto file = logFileFor(layer->platform());
    const auto sendLogs = std::bind_front(&LogicLayer::sendLogs, layer);
    const auto post = std::bind_front(&Communication::post, layer->communication());
    const std::chrono::seconds deadline(30);

    const auto key = *keychain.getDevicePublicKeyString();
    auto pairing = started<Json>(std::bind_front(
        post, layer->requestBuilder().pairingRequest(base, running.pairingKey("NA"), "0a", key)));
    std::optional<std::string> pairingId;
    ResponseHandler(keychain).pairing(pairing->wait(deadline).value().first.value_or(Json()),
                                      [&](auto id, auto, auto) { pairingId = id; }, {});
    keychain.setString("isPaired", "isPaired");
    auto finalize = layer->requestBuilder().finalizeRequest(base, pairingId.value_or(""));
    ASSERT_TRUE(started<Json>(std::bind_front(post, finalize))->wait(deadline).value().first);

    for (const auto& [fault, internal] :
         {std::pair{R"({"path":"v1/logs","status":201,"body":{"filed":true}})", 20034},
          {R"({"path":"v1/logs","status":500,"body":{"code":"X"},"signature":"none"})", 20038},
          {R"({"path":"v1/logs","status":500,"body":{"code":"X"}})", 20036},
          {R"({"path":"v1/logs","status":200})", 20039}}) {
        running.adminPost("faults", Json::parse(fault));
        auto [id, error] = started<std::string>(sendLogs)->wait(deadline).value();
        ASSERT_FALSE(id);
        EXPECT_EQ(error.value().userInfo()["internalErrorCode"], internal) << fault;
        EXPECT_EQ(error->code(), internal == 20038 || internal == 20039 ? 10000 : 10003) << fault;
    }
    EXPECT_NE(file->readDecryptedLog().text.find("Velquor init"), std::string::npos) << "nothing removed";

    VQ_LOG(LogLevel::info, "Tests/LogUpload", "test()", "Line read back");
    auto [id, error] = started<std::string>(sendLogs)->wait(deadline).value();
    ASSERT_TRUE(id) << (error ? describeError(*error) : "no answer");
    const auto archive = running.adminRaw("GET", "uploads/" + *id);
    ASSERT_EQ(archive.status, 200) << "filed under the id the handler got";
    const std::string after = file->readDecryptedLog().text;
    EXPECT_EQ(after.find("Line read back"), std::string::npos);
    EXPECT_NE(after.find("RequestName=logs"), std::string::npos) << "logged after the read-back, so kept";
    EXPECT_NE(after.find(service::test::sha256Hex(archive.body)), std::string::npos) << "the digest sent";
    const std::string last = after.substr(after.rfind('\n', after.size() - 2) + 1);
    EXPECT_NE(last.find("\" Last support id: " + *id + ". Starting new log. file="), std::string::npos);

    auto first = started<std::string>(sendLogs), second = started<std::string>(sendLogs);
    const auto a = first->wait(deadline).value().first, b = second->wait(deadline).value().first;
    EXPECT_NE(a.value(), b.value()) << "each upload draws its own id";
    for (const auto& each : {*a, *b})
        EXPECT_EQ(running.adminRaw("GET", "uploads/" + each).status, 200);
}

} // namespace
} // namespace velquor::detail
