// The flows end to end against the in-process reference service, over the real libcurl transport
// and loopback HTTPS: one service per suite, and layers whose requests go to it. Each flow is
// checked through what the layer stores and answers and what the service's admin interface reports.
#include "DeviceTestSupport.hpp"
#include "FlowTestSupport.hpp"
#include "ServiceTestSupport.hpp"
#include "TokenTestSupport.hpp"
#include "platform/linux/CurlHttpTransport.hpp"
#include "util/Base64.hpp"

namespace velquor::detail {
namespace {

// `platform` speaking to `running` over libcurl: each region at its own address, or all at `only`'s.
Platform onService(Platform platform, service::test::RunningService& running,
                   std::optional<service::Region> only = std::nullopt) {
    auto& configuration = platform.configuration;
    configuration.northAmericaBaseURL = running.baseURL(only.value_or(service::Region::na));
    configuration.europeBaseURL = running.baseURL(only.value_or(service::Region::eu));
    configuration.asiaPacificBaseURL = running.baseURL(only.value_or(service::Region::au));
    platform.services.http = std::make_shared<CurlHttpTransport>(running.service().caCertificatePath());
    return platform;
}

// Pairs `layer`'s device with a key of `region` through the pairing flow, a push token set first.
void pairWith(LogicLayer& layer, service::test::RunningService& running, const std::string& region) {
    test::Delivery<Call<>> token, paired;
    layer.setDeviceToken({0x0A, 0x1B}, APNSDeviceTokenType::production, recorder(token));
    ASSERT_TRUE(token.wait());
    layer.pair(running.pairingKey(region), recorder(paired));
    const auto call = paired.wait(std::chrono::seconds(30));
    ASSERT_TRUE(call && !call->error) << (call && call->error ? describeError(*call->error) : "no answer");
}

// A service for the suite; for each test a platform on memory stores, and the layer it starts.
template <typename Param>
class ServiceFlowTest : public LayerTest, public testing::WithParamInterface<Param> {
protected:
    static void SetUpTestSuite() { running = std::make_unique<service::test::RunningService>(); }
    static void TearDownTestSuite() { running.reset(); }
    void TearDown() override { EXPECT_FALSE(log->contains("delivered twice")); }

    static inline std::unique_ptr<service::test::RunningService> running;
    Platform platform = services.platform(dir.path());
    std::shared_ptr<LogicLayer> layer;
};

// The one answer to an operation started on this thread, on a library thread: the reply thread
// when a request went out (`sent`), else the global queue.
template <typename Value> Call<Value> answeredOnce(test::Delivery<Call<Value>>& delivery, bool sent) {
    auto call = once(delivery, std::chrono::seconds(30));
    EXPECT_NE(call.thread, std::this_thread::get_id());
    EXPECT_EQ(call.onGlobalQueue, !sent);
    return call;
}

// Pairing, the push token and the device record.

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
    ASSERT_TRUE(!tokenSet || !setToken(0xAB, APNSDeviceTokenType::production, false));
    layer->keychain().setString("deviceTokenStr", "ab"); // without setDeviceToken: an earlier run's
    ASSERT_TRUE(pairedIn.empty() || !pair(pairedIn, true));
    const Json reply = {
        {"id", "p1"}, {"status", statusAtOnce}, {"serverPublicKey", running->serverPublicKey()}};
    if (!ownReply)
        running->adminPost("faults", {{"path", "v1/pairings"}, {"status", 201}, {"body", reply}});
    const auto devices = running->adminGet("state")["devices"].size();
    const auto error = pair(keyRegion, sent);
    EXPECT_EQ(error ? error->code() * 100 + test::internalCode(*error) : 0, code * 100 + internal);
    EXPECT_EQ(item("dataCenter"), dataCenter);
    EXPECT_EQ(running->adminGet("state")["devices"].size(), devices + (sent && ownReply));
    if (!sent || !ownReply)
        return;
    EXPECT_EQ(services.preferences->value("com.marvisTel.VelquorSDK", "isPaired"),
              MemoryPreferences::Value(true));
    const Json device = newestDevice();
    EXPECT_EQ(Json({device["id"], device["region"], device["installedApplicationId"], device["finalized"]}),
              Json({item("mobileDeviceID"), keyRegion, item("installedApplicationID"), true}));
    const auto info = run(true, [&](auto handler) { layer->getDeviceInfo(handler); });
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

// Push notifications: the layer answers the service's authentications, and the service's record
// of each answer shows which claims it carried.

// `how`: "approve" or "deny" through the object, else the banner action with that identifier.
// `origin`: the notification's own address when empty, else the answer goes to `origin` + its
// path ($PORT: the service's port); "-" no address, "TEST" another kind, "NONE" not the service's.
// `status`: what the service records. (A transport failure reaches the handler as the
// communication tests show; a service refusal: "TooLate".)
struct Case {
    const char *name, *how;
    std::optional<std::string> method;
    std::string origin;
    int timeout, code, internalCode;
    const char* status;
};

// A device paired with the service in Europe, on a network that is up whatever the machine's.
class Notifications : public ServiceFlowTest<Case> {
protected:
    void SetUp() override {
        test::writeRoutes(routes.path(), "wlan0");
        platform.services.reachabilityFlags = std::make_shared<LinuxReachabilityFlagSource>(routes.path());
        layer = LogicLayer::create(onService(platform, *running, service::Region::eu));
        pairWith(*layer, *running, "EU");
    }

    const std::string base = running->baseURL(service::Region::eu);
    test::TempDir routes;
};

TEST_P(Notifications, AnswerReachesOnlyTheServiceWithTheClaimsGiven) {
    const Case& c = GetParam();
    const std::string how = c.how, device = *layer->keychain().getString("mobileDeviceID").text;
    const Json created =
        running->adminPost("devices/" + device + "/authentications", {{"timeoutSeconds", c.timeout}});
    const auto bytes = base64Decode(created["userInfo"]["Velquor"].get<std::string>()).value();
    Json inner = Json::parse(bytes.begin(), bytes.end()), &href = inner["_links"]["push.check"]["href"];
    std::string origin = c.origin, path = href.get<std::string>().substr(base.size() - 4);
    if (auto at = origin.find('$'); at != origin.npos)
        origin.replace(at, 5, std::to_string(running->service().port()));
    if (origin == "-") // no address, and the default timeout
        inner.erase("_links"), inner.erase("timeout");
    else if (origin == "TEST")
        inner["type"] = "TEST";
    else if (!origin.empty() && origin != "NONE")
        href = origin + path;
    Json payload = origin == "NONE" ? Json{{"aps", 1}} : Json{{"Velquor", base64Encode(inner.dump())}};

    test::Delivery<Call<NotificationObject>> received, answered;
    const bool fromObject = how == "approve" || how == "deny";
    if (fromObject) {
        Json* deep = &payload["aps"]; // beside the good value, deeper than any stack allows
        for (int i = 0; i < 100'000; ++i)
            deep = &((*deep)["a"] = Json::object());
        layer->processRemoteNotification(payload, recorder(received));
        const auto object = answeredOnce(received, false).value.value();
        EXPECT_EQ(object.timeoutDuration(), c.timeout);
        how == "deny" ? object.deny(recorder(answered))
        : c.method    ? object.approve(c.method, recorder(answered))
                      : object.approve(recorder(answered));
    } else {
        layer->processRemoteNotificationAction(how, c.method, payload, recorder(answered));
    }
    const bool sent = c.code ? c.internalCode != 7 && c.code != 10002 : std::string(c.status) != "PENDING";
    const auto answer = answeredOnce(answered, sent);
    EXPECT_EQ(answer.error ? answer.error->code() * 100 + test::internalCode(*answer.error) : 0,
              c.code * 100 + c.internalCode);
    EXPECT_EQ(answer.value.has_value(), how == "Default") << "the object only when nothing is sent";
    EXPECT_EQ(log->contains("RequestName=validatePush"), sent);
    EXPECT_EQ(log->contains(R"(file="PushManager")"), c.code == 10002)
        << "its error is logged by the push manager";
    EXPECT_EQ(!fromObject && log->contains("identifier=" + how + " userInfo=" + payload.dump()), !fromObject);
    EXPECT_EQ(log->contains("userInfo="), !fromObject) << "a dictionary too deep is not printed";
    EXPECT_EQ(log->contains(how == "deny" ? "deny method" : "approve method"), fromObject);
    if (c.code == 10009) {
        EXPECT_EQ(answer.error->userInfo()["internalError"]["details"][0]["innerError"]["actual"],
                  "PUSH_CONFIRMATION_TIMED_OUT");
    }

    Json state = running->adminGet("authentications/" + created["authenticationId"].get<std::string>());
    EXPECT_EQ(state["status"], c.status);
    if (state["answer"].is_object()) { // what the answer carried, member by member
        EXPECT_EQ(state["answer"].value("isBanner", Json()), fromObject ? Json() : Json(true));
        EXPECT_EQ(state["answer"].value("method", Json()), c.method ? Json(*c.method) : Json());
    }
}

INSTANTIATE_TEST_SUITE_P(
    ReferenceService, Notifications,
    testing::Values(Case{"Approve", "approve", {}, "", 60, 0, 0, "APPROVED"},
                    Case{"ApproveWithMethod", "approve", "faceId", "", 45, 0, 0, "APPROVED"},
                    Case{"Deny", "deny", {}, "", 60, 0, 0, "DENIED"},
                    Case{"BannerAuthenticate", "Authenticate", "pin", "", 60, 0, 0, "APPROVED"},
                    Case{"BannerDeny", "Deny", {}, "", 60, 0, 0, "DENIED"},
                    Case{"BannerTapped", "Default", {}, "", 60, 0, 0, "PENDING"},
                    Case{"OtherKind", "Deny", {}, "TEST", 60, 0, 0, "PENDING"},
                    Case{"NotTheService", "Authenticate", {}, "NONE", 60, 10002, 8, "PENDING"},
                    Case{"NoAddress", "approve", {}, "-", 45, 10000, 7, "PENDING"},
                    Case{"Http", "approve", {}, "http://127.0.0.1:$PORT", 60, 10000, 7, "PENDING"},
                    Case{"OtherHost", "Deny", {}, "https://127.0.0.2:$PORT", 60, 10000, 7, "PENDING"},
                    Case{"OtherPort", "deny", {}, "https://127.0.0.1:1", 60, 10000, 7, "PENDING"},
                    Case{"DefaultPort", "approve", {}, "https://127.0.0.1", 60, 10000, 7, "PENDING"},
                    Case{
                        "UserInfo", "Authenticate", {}, "https://u@127.0.0.1:$PORT", 60, 10000, 7, "PENDING"},
                    Case{"Unparsable", "deny", {}, "https://127.0.0.1:$PORT/ ", 60, 10000, 7, "PENDING"},
                    Case{"TooLate", "approve", {}, "", 0, 10009, 14, "EXPIRED"}),
    [](const auto& info) { return std::string(info.param.name); });

// The log upload. The layer runs over the process platform, so every line the library logs is in
// the log it uploads; the device is paired with the service first. A log request of the service's
// is answered after the next device-record fetch.
TEST(LogUploadFlow, FilesTheLogUnderItsIdAndRemovesOnlyWhatItReadBackOnSuccess) {
    service::test::RunningService running;
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
        return running.adminGet("state")["uploads"];
    };
    const auto before = uploads().size();
    running.adminPost("devices/" + layer->keychain().getString(items::kMobileDeviceID).text.value() +
                          "/log-requests",
                      Json::object());
    auto fetched = std::make_shared<test::Delivery<bool>>();
    layer->getDeviceInfo([fetched](auto record, auto) { fetched->deliver(record.has_value()); });
    ASSERT_TRUE(fetched->wait(deadline).value_or(false));
    ASSERT_TRUE(test::waitUntil([&] { return uploads().size() > before; }, deadline));
    const std::string added = uploads().back()["supportId"];
    // Done once the library has finished with the upload: the reference service's HTTP library sets
    // OpenSSL up at load, so its clean-up at exit cannot be turned off in this process.
    EXPECT_TRUE(test::waitUntil(
        [&] {
            return file->readDecryptedLog().text.find("Last support id: " + added + ".") != std::string::npos;
        },
        deadline));
}

} // namespace
} // namespace velquor::detail
