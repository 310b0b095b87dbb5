// Push notifications end to end: a logic layer over the real libcurl transport answers the
// in-process reference service's authentications over loopback HTTPS, and the service's record
// of each answer shows which claims it carried.
#include "DeviceTestSupport.hpp"
#include "ServiceFlowSupport.hpp"
#include "TokenTestSupport.hpp"
#include "util/Base64.hpp"

namespace velquor::detail {
namespace {

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
    if (c.fault) // cut inside the body, so the transport has nothing to retry
        running->adminPost("faults", Json::parse(c.fault));

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

constexpr const char* kCutOff = R"({"path":"v1/push/check","abort":4,"body":"0123456789"})";

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
                    Case{"CutOff", "Authenticate", {}, "", 60, 10003, 15, "PENDING", kCutOff}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace velquor::detail
