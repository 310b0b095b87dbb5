// Pairing, the push token and the device record, end to end over TLS: a logic layer whose base
// addresses are the in-process reference service's, checked through what it stores and what the
// service's admin interface reports.
#include "ServiceFlowSupport.hpp"

namespace velquor::detail {
namespace {

// Name; region paired in before ("": none); setDeviceToken called in this run; region of the
// pairing key; status of a pairing reply the service gives at once ("": its own replies); the
// expected code and internal code (0: paired); "dataCenter" afterwards ("": none).
using PairingCase =
    std::tuple<std::string, std::string, bool, std::string, std::string, int, int, std::string>;

class LogicLayerService : public ServiceFlowTest<PairingCase> {
protected:
    void SetUp() override { layer = LogicLayer::create(onService(platform, *running)); }

    // Runs `operation` with a recording handler; a request went out exactly when `sent`.
    template <typename Operation> Call<Json> run(bool sent, Operation operation) {
        const auto requests = log->count("RequestName=");
        test::Delivery<Call<Json>> delivery;
        operation(recorder(delivery));
        const auto call = answeredOnce(delivery, sent);
        EXPECT_EQ(log->count("RequestName=") > requests, sent);
        return call;
    }
    std::optional<Error> setToken(std::uint8_t byte, APNSDeviceTokenType type, bool sent) {
        return run(sent, [&](auto handler) { layer->setDeviceToken({byte}, type, handler); }).error;
    }
    std::optional<Error> pair(const std::string& region, bool sent) {
        return run(sent, [&, key = running->pairingKey(region)](auto handler) { layer->pair(key, handler); })
            .error;
    }
    Call<Json> getInfo(bool sent) {
        return run(sent, [&](auto handler) { layer->getDeviceInfo(handler); });
    }
    std::string item(std::string_view n) const { return layer->keychain().getString(n).text.value_or(""); }
    Json newestDevice() const { return running->adminGet("state")["devices"].back(); }
};

// The region rule and the push token are checked before anything is sent; a pairing stores what
// the service gave and, once complete (finalised, or "COMPLETED" at once), the key's region. On a
// paired device a changed push token reaches the service with its environment; an unchanged one,
// even in another environment, sends nothing.
TEST_P(LogicLayerService, Pairing) {
    const auto& [name, pairedIn, tokenSet, keyRegion, statusAtOnce, code, internal, dataCenter] = GetParam();
    const bool sent = code == 0, ownReply = statusAtOnce.empty();
    const auto unpaired = getInfo(false).error;
    EXPECT_EQ(unpaired ? unpaired->code() : 0, 10008);
    ASSERT_TRUE(!tokenSet || !setToken(0xAB, APNSDeviceTokenType::production, false));
    layer->keychain().setString("deviceTokenStr", "ab"); // without setDeviceToken: an earlier run's
    ASSERT_TRUE(pairedIn.empty() || !pair(pairedIn, true));
    const Json reply = {
        {"id", "p1"}, {"status", statusAtOnce}, {"serverPublicKey", running->serverPublicKey()}};
    if (!ownReply)
        running->adminPost("faults", {{"path", "v1/pairings"}, {"status", 201}, {"body", reply}});
    const auto devices = running->adminGet("state")["devices"].size();
    const auto error = pair(keyRegion, sent);
    EXPECT_EQ(error ? error->code() : 0, code);
    EXPECT_EQ(error ? error->userInfo()["internalErrorCode"].get<int>() - 20000 : 0, internal);
    EXPECT_EQ(item("dataCenter"), dataCenter);
    EXPECT_EQ(running->adminGet("state")["devices"].size(), devices + (sent && ownReply));
    if (!sent || !ownReply)
        return;
    EXPECT_EQ(services.preferences->value("com.marvisTel.VelquorSDK", "isPaired"),
              MemoryPreferences::Value(true));
    const Json device = newestDevice();
    EXPECT_EQ(Json({device["id"], device["region"], device["installedApplicationId"], device["finalized"]}),
              Json({item("mobileDeviceID"), keyRegion, item("installedApplicationID"), true}));
    const auto info = getInfo(true);
    EXPECT_FALSE(info.error);
    EXPECT_EQ(info.value.value_or(Json())["id"], item("mobileDeviceID"));
    EXPECT_FALSE(setToken(0xAB, APNSDeviceTokenType::sandbox, false));
    EXPECT_FALSE(setToken(0xC0, APNSDeviceTokenType::sandbox, true));
    EXPECT_EQ(Json({newestDevice()["pushToken"], newestDevice()["sandbox"], item("deviceTokenStr")}),
              Json({"c0", true, "c0"}));
}

INSTANTIATE_TEST_SUITE_P(Cases, LogicLayerService,
                         testing::Values(PairingCase{"NA", "", true, "NA", "", 0, 0, "NA"},
                                         PairingCase{"EU", "", true, "EU", "", 0, 0, "EU"},
                                         PairingCase{"AU", "", true, "AU", "", 0, 0, "AU"},
                                         PairingCase{"SameRegionAgain", "EU", true, "EU", "", 0, 0, "EU"},
                                         PairingCase{"OtherRegion", "EU", true, "AU", "", 10007, 32, "EU"},
                                         PairingCase{"NoTokenThisRun", "", false, "NA", "", 10001, 1, ""},
                                         PairingCase{"Completed", "", true, "AU", "COMPLETED", 0, 0, "AU"},
                                         PairingCase{"OtherStatus", "", true, "AU", "REFUSED", 0, 0, ""}),
                         [](const auto& info) { return std::get<0>(info.param); });

} // namespace
} // namespace velquor::detail
