// Push notifications end to end: a logic layer over the real libcurl transport answers the
// in-process reference service's authentications over loopback HTTPS, and the service's record
// of each answer shows which claims it carried.
#include "DeviceTestSupport.hpp"
#include "FoundationSupport.hpp"
#include "ServiceTestSupport.hpp"
#include "TokenTestSupport.hpp"
#include "platform/linux/CurlHttpTransport.hpp"
#include "util/Base64.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

struct Answer {
    std::optional<NotificationObject> object;
    std::optional<Error> error;
    bool onCaller = false, onGlobalQueue = false;
};

// `how`: "approve" or "deny" through the object, else the banner action with that identifier.
// `origin`: the notification's own address when empty, else the answer goes to `origin` + its
// path ($PORT: the service's port); "-" no address, "TEST" another kind, "NONE" not the service's.
// `status`: what the service records; `fault`: planted on the answer's path.
struct Case {
    const char *name, *how;
    std::optional<std::string> method;
    std::string origin;
    int timeout, code, internalCode;
    const char *status, *fault = nullptr;
};

class Notifications : public testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite() { running = std::make_unique<service::test::RunningService>(); }
    static void TearDownTestSuite() { running.reset(); }
    void SetUp() override {
        test::writeRoutes(routes.path(), "wlan0"); // a network that is up, whatever the machine's
        Platform platform = services.platform(dir.path());
        platform.services.reachabilityFlags = std::make_shared<LinuxReachabilityFlagSource>(routes.path());
        platform.services.http = std::make_shared<CurlHttpTransport>(running->service().caCertificatePath());
        auto& config = platform.configuration;
        config.northAmericaBaseURL = config.europeBaseURL = config.asiaPacificBaseURL = base;
        layer = LogicLayer::create(platform);
        // Paired through the transport and the reply reader, not the pairing flow.
        auto post = [&](Substance substance) {
            test::Delivery<Json> reply;
            layer->communication().post(substance,
                                        [&](auto claims, auto) { reply.deliver(claims.value_or(0)); });
            return reply.wait(std::chrono::seconds(30)).value_or(0);
        };
        const auto& requests = layer->requestBuilder();
        std::string id, key = *layer->keychain().getDevicePublicKeyString();
        ResponseHandler(layer->keychain())
            .pairing(
                post(requests.pairingRequest(base, running->pairingKey("EU"), "0a1b", key)),
                [&](auto pairingId, auto, auto) { id = pairingId.value_or(""); },
                [](auto) { ADD_FAILURE(); });
        layer->keychain().setString("isPaired", "isPaired");
        ASSERT_TRUE(post(requests.finalizeRequest(base, id)).is_object());
    }
    static auto recorder(test::Delivery<Answer>& delivery) {
        return [&delivery, caller = std::this_thread::get_id()](auto object, std::optional<Error> error) {
            delivery.deliver(
                {object, error, std::this_thread::get_id() == caller, test::MarkingQueues::onGlobalQueue()});
        };
    }
    // The one answer: on the reply thread when a request went out, else on the global queue.
    static Answer once(test::Delivery<Answer>& delivery, bool sent) {
        const Answer answer = delivery.wait(std::chrono::seconds(30)).value_or(Answer{{}, {}, true, false});
        EXPECT_FALSE(test::waitUntil([&] { return delivery.count() > 1; }, std::chrono::milliseconds(50)));
        EXPECT_FALSE(answer.onCaller);
        EXPECT_EQ(answer.onGlobalQueue, !sent);
        return answer;
    }

    static inline std::unique_ptr<service::test::RunningService> running;
    const std::string base = running->baseURL(service::Region::eu);
    test::ScopedLogSink log;
    test::TempDir dir, routes;
    test::TestServices services;
    std::shared_ptr<LogicLayer> layer;
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
    if (c.fault) // cut inside the body, so the transport has nothing to retry
        running->adminPost("faults", Json::parse(c.fault));

    test::Delivery<Answer> received, answered;
    const bool fromObject = how == "approve" || how == "deny";
    if (fromObject) {
        Json* deep = &payload["aps"]; // beside the good value, deeper than any stack allows
        for (int i = 0; i < 100'000; ++i)
            deep = &((*deep)["a"] = Json::object());
        layer->processRemoteNotification(payload, recorder(received));
        const auto object = once(received, false).object.value();
        EXPECT_EQ(object.timeoutDuration(), c.timeout);
        auto handler = [h = recorder(answered)](std::optional<Error> error) {
            h(std::nullopt, error);
        };
        how == "deny" ? object.deny(handler)
        : c.method    ? object.approve(c.method, handler)
                      : object.approve(handler);
    } else {
        layer->processRemoteNotificationAction(how, c.method, payload, recorder(answered));
    }
    const bool sent = c.code ? c.internalCode != 7 && c.code != 10002 : std::string(c.status) != "PENDING";
    const Answer answer = once(answered, sent);
    EXPECT_EQ(answer.error ? answer.error->code() * 100 + test::internalCode(*answer.error) : 0,
              c.code * 100 + c.internalCode);
    EXPECT_EQ(answer.object.has_value(), how == "Default") << "the object only when nothing is sent";
    EXPECT_EQ(log->contains("RequestName=validatePush"), sent);
    EXPECT_EQ(log->contains(R"(file="PushManager")"), c.code == 10002)
        << "its error is logged by the push manager";
    EXPECT_EQ(!fromObject && log->contains("identifier=" + how + " userInfo=" + payload.dump()), !fromObject);
    EXPECT_EQ(log->contains("userInfo="), !fromObject) << "a dictionary too deep is not printed";
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
                    Case{"TooLate", "approve", {}, "", 0, 10009, 14, "EXPIRED"},
                    Case{"CutOff",
                         "Authenticate",
                         {},
                         "",
                         60,
                         10003,
                         15,
                         "PENDING",
                         R"({"path":"v1/push/check","abort":4,"body":"0123456789"})"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace velquor::detail
