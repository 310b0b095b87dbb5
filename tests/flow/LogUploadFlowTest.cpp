// The log upload end to end against the reference service over loopback HTTPS. The layer runs over
// the process platform, so every line the library logs is in the log it uploads; the device is
// paired with the service first. A log request of the service's is answered after the next
// device-record fetch.
#include "ServiceFlowSupport.hpp"

namespace velquor::detail {
namespace {

TEST(LogUploadFlow, FilesTheLogUnderItsIdAndRemovesOnlyWhatItReadBackOnSuccess) {
    service::test::RunningService running;
    // The process platform, so the log it uploads is the one the library writes.
    Platform platform = onService(PlatformContext::get(), running, service::Region::na);
    platform.services.queues = std::make_shared<test::MarkingQueues>(platform.services.queues); // no refresh
    Keychain(platform.services.keyStore).removeAllItems();
    const auto layer = LogicLayer::create(platform);
    const auto file = logFileFor(layer->platform());
    ASSERT_NO_FATAL_FAILURE(pairWith(*layer, running, "NA"));
    // Starts an upload; its answer arrives in the delivery returned.
    const auto upload = [&layer] {
        auto delivery =
            std::make_shared<test::Delivery<std::pair<std::optional<std::string>, std::optional<Error>>>>();
        layer->sendLogs([delivery](auto id, auto error) { delivery->deliver({id, error}); });
        return delivery;
    };
    const std::chrono::seconds deadline(30);

    for (const auto& [fault, internal] :
         {std::pair{R"({"path":"v1/logs","status":201,"body":{"filed":true}})", 20034},
          {R"({"path":"v1/logs","status":500,"body":{"code":"X"},"signature":"none"})", 20038},
          {R"({"path":"v1/logs","status":500,"body":{"code":"X"}})", 20036},
          {R"({"path":"v1/logs","status":200})", 20039}}) {
        running.adminPost("faults", Json::parse(fault));
        auto [id, error] = upload()->wait(deadline).value();
        ASSERT_FALSE(id);
        EXPECT_EQ(error.value().userInfo()["internalErrorCode"], internal) << fault;
        EXPECT_EQ(error->code(), internal == 20038 || internal == 20039 ? 10000 : 10003) << fault;
    }
    EXPECT_NE(file->readDecryptedLog().text.find("Velquor init"), std::string::npos) << "nothing removed";

    VQ_LOG(LogLevel::info, "Tests/LogUpload", "test()", "Line read back");
    auto [id, error] = upload()->wait(deadline).value();
    ASSERT_TRUE(id) << (error ? describeError(*error) : "no answer");
    const auto archive = running.adminRaw("GET", "uploads/" + *id);
    ASSERT_EQ(archive.status, 200) << "filed under the id the handler got";
    const std::string after = file->readDecryptedLog().text;
    EXPECT_EQ(after.find("Line read back"), std::string::npos);
    EXPECT_NE(after.find("RequestName=logs"), std::string::npos) << "logged after the read-back, so kept";
    EXPECT_NE(after.find(service::test::sha256Hex(archive.body)), std::string::npos) << "the digest sent";
    const std::string last = after.substr(after.rfind('\n', after.size() - 2) + 1);
    EXPECT_NE(last.find("\" Last support id: " + *id + ". Starting new log. file="), std::string::npos);

    auto first = upload(), second = upload();
    const auto a = first->wait(deadline).value().first, b = second->wait(deadline).value().first;
    EXPECT_NE(a.value(), b.value()) << "each upload draws its own id";
    for (const auto& each : {*a, *b})
        EXPECT_EQ(running.adminRaw("GET", "uploads/" + each).status, 200);

    // A log request the service holds is answered by an upload after the next device-record fetch.
    const auto uploads = [&running] {
        return running.adminGet("state")["uploads"].size();
    };
    const std::size_t before = uploads();
    running.adminPost("devices/" + layer->keychain().getString(items::kMobileDeviceID).text.value() +
                          "/log-requests",
                      Json::object());
    auto fetched = std::make_shared<test::Delivery<bool>>();
    layer->getDeviceInfo([fetched](auto record, auto) { fetched->deliver(record.has_value()); });
    ASSERT_TRUE(fetched->wait(deadline).value_or(false));
    EXPECT_TRUE(test::waitUntil([&] { return uploads() == before + 1; }, deadline));
}

} // namespace
} // namespace velquor::detail
