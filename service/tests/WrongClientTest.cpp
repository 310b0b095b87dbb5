// Requests as a wrong client builds them, each refused with its status and the member it got
// wrong, next to the same requests built correctly (the library's claim sets, by hand), accepted.
#include "ServiceTestSupport.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace velquor::service::test {
namespace {

enum class Kind { pairing, deviceInfo, pushCheck, logs };

// What the client puts on the wire, for a mistake to change before the token is signed.
struct Sent {
    json header;
    json claims;
    std::string query; // appended to the address
};

json& at(json& claims, const std::string& path) {
    json* node = &claims;
    for (size_t start = 0, dot; start != std::string::npos;
         start = dot == std::string::npos ? dot : dot + 1) {
        dot = path.find('.', start);
        node = &(*node)[path.substr(start, dot == std::string::npos ? dot : dot - start)];
    }
    return *node;
}

std::function<void(Sent&)> set(const std::string& path, json value) {
    return [=](Sent& sent) {
        at(sent.claims, path) = value;
    };
}

std::function<void(Sent&)> erase(const std::string& path) {
    return [=](Sent& sent) {
        const auto dot = path.rfind('.');
        auto& parent = dot == std::string::npos ? sent.claims : at(sent.claims, path.substr(0, dot));
        parent.erase(path.substr(dot == std::string::npos ? 0 : dot + 1));
    };
}

struct Case {
    std::string name;
    Kind kind;
    std::function<void(Sent&)> mistake;
    long status;
    std::string target; // empty: accepted
};

class WrongClientTest : public ::testing::Test {
protected:
    RunningService running;
    PairedDevice device = running.pair(TestKey::shared(0));
    int uploads = 0;

    HttpReply send(Kind kind, const std::function<void(Sent&)>& mistake) {
        const auto& key = TestKey::shared(0);
        const auto base = device.baseURL;
        Sent sent{{{"typ", "JWT"}, {"kid", device.id}}, device.claims(), ""};
        std::string path = "v1/deviceInfo";
        if (kind == Kind::pairing) {
            sent = {{{"typ", "JWT"}}, RunningService::pairingClaims(running.pairingKey("EU"), key), ""};
            path = "v1/pairings";
        } else if (kind == Kind::pushCheck) {
            const auto id = running.adminPost("devices/" + device.id + "/authentications", json::object());
            path = "v1/push/check?authenticationId=" + id["authenticationId"].get<std::string>();
            sent.query = "&bundleId=com.example.host";
            sent.claims["action"] = "APPROVE";
        } else if (kind == Kind::logs) {
            // The payload claim set of a paired device: no "metadata".
            sent.claims.erase("metadata");
            sent.claims["sha256"] = sha256Hex("zip");
            sent.claims["supportId"] = std::to_string(++uploads);
            path = "v1/logs";
        }
        if (mistake)
            mistake(sent);
        const auto token =
            makeTokenWithHeader(sent.header, sent.claims, kind == Kind::pairing ? nullptr : &key);
        if (kind != Kind::logs)
            return running.client().postJwt(base + path + sent.query, token);
        return running.client().request(
            "POST", base + path + sent.query,
            {"content-type: multipart/form-data; boundary=b", "Accept: application/jwt",
             "Marvis-Mobile-Logs: " + token},
            "--b\r\nContent-Disposition: form-data; name=\"log-file\"; filename=\"velquorv2.zip\"\r\n"
            "Content-Type: application/zip\r\n\r\nzip\r\n--b--\r\n");
    }

    void expect(const std::vector<Case>& cases) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            const auto reply = send(c.kind, c.mistake);
            EXPECT_EQ(reply.status, c.status) << reply.body;
            const auto claims = running.replyClaims(reply);
            if (!c.target.empty()) {
                EXPECT_EQ(claims.value("code", ""), "INVALID_DATA");
                EXPECT_EQ(claims["details"][0].value("target", ""), c.target) << claims.dump();
            }
        }
    }
};

TEST_F(WrongClientTest, RefusesWrongTokensAndClaimSetsAndAcceptsCorrectOnes) {
    const auto inMilliseconds = (unixNow() + 120) * 1000;
    const json unpairedMetadata{{"application", {{"bundleId", "com.example.host"}}}};
    const auto header = [](const char* name, json value) {
        return [=](Sent& sent) {
            if (value.is_null())
                sent.header.erase(name);
            else
                sent.header[name] = value;
        };
    };
    const auto query = [](std::string text) {
        return [=](Sent& sent) {
            sent.query = text;
        };
    };
    expect({
        {"correct pairing", Kind::pairing, nullptr, 201, ""},
        {"correct device info", Kind::deviceInfo, nullptr, 200, ""},
        {"correct push check", Kind::pushCheck, nullptr, 200, ""},
        {"correct log upload", Kind::logs, nullptr, 201, ""},
        {"unpaired payload metadata on a log upload", Kind::logs, set("metadata", unpairedMetadata), 201, ""},
        {"free texts may be empty", Kind::deviceInfo,
         [](Sent& sent) {
             for (const char* path : {"name", "locale", "sdkVersion", "os.version", "application.bundleId"})
                 at(sent.claims["metadata"], path) = "";
         },
         200, ""},
        {"exp in milliseconds", Kind::deviceInfo, set("exp", inMilliseconds), 400, "exp"},
        {"exp in milliseconds, pairing", Kind::pairing, set("exp", inMilliseconds), 400, "exp"},
        {"pairing without exp", Kind::pairing, erase("exp"), 400, "exp"},
        {"pairing without jti", Kind::pairing, erase("jti"), 400, "jti"},
        {"no typ", Kind::deviceInfo, header("typ", nullptr), 400, "typ"},
        {"typ in lower case", Kind::pairing, header("typ", "jwt"), 400, "typ"},
        {"request claims without metadata", Kind::deviceInfo, erase("metadata"), 400, "metadata"},
        {"request claims without fnp", Kind::pushCheck, erase("fnp"), 400, "fnp"},
        {"pairing without metadata", Kind::pairing, erase("metadata"), 400, "metadata"},
        {"payload claims where request claims belong", Kind::deviceInfo, set("metadata", unpairedMetadata),
         400, "metadata.os"},
        {"request claims on the log upload", Kind::logs, set("metadata", deviceData()), 400, "metadata"},
        {"log upload without fnp", Kind::logs, erase("fnp"), 400, "fnp"},
        {"bare PKCS#1 device key", Kind::pairing,
         set("mobileDevice.publicKey", TestKey::shared(0).publicKeyPkcs1Base64()), 400, "publicKey"},
        {"push check without bundleId", Kind::pushCheck, query(""), 400, "bundleId"},
        {"push check with bundleId twice", Kind::pushCheck,
         query("&bundleId=com.example.host&bundleId=com.example.host"), 400, "bundleId"},
        {"push check with another bundleId", Kind::pushCheck, query("&bundleId=com.example.other"), 400,
         "bundleId"},
        {"query on device info", Kind::deviceInfo, query("?bundleId=com.example.host"), 400, "bundleId"},
        {"query on pairing", Kind::pairing, query("?x=1"), 400, "x"},
    });
}

TEST_F(WrongClientTest, RefusesDeviceDataOutsideItsDescription) {
    std::vector<Case> cases;
    for (const char* path : {"os",
                             "os.version",
                             "os.type",
                             "model",
                             "model.name",
                             "model.marketingName",
                             "name",
                             "manufacturer",
                             "apiVersion",
                             "sdkVersion",
                             "rooted",
                             "lockEnabled",
                             "locale",
                             "networkType",
                             "networksInfo",
                             "application",
                             "application.bundleId",
                             "application.version",
                             "application.name",
                             "application.pushSandbox",
                             "permissions",
                             "permissions.camera",
                             "permissions.location",
                             "permissions.push",
                             "permissions.silentPush"}) {
        const std::string target = std::string("metadata.") + path;
        cases.push_back({target + " missing", Kind::deviceInfo, erase(target), 400, target});
        cases.push_back({target + " a number", Kind::deviceInfo, set(target, 7), 400, target});
    }
    const std::vector<std::pair<std::string, json>> values{{"os.type", "ANDROID"},
                                                           {"manufacturer", "Google"},
                                                           {"apiVersion", "v2"},
                                                           {"rooted", true},
                                                           {"lockEnabled", true},
                                                           {"lockEnabled", "yes"},
                                                           {"networkType", "5G"},
                                                           {"permissions.camera", "granted"},
                                                           {"permissions.location", "authorized"},
                                                           {"permissions.push", "provisional"},
                                                           {"permissions.silentPush", "authorized"},
                                                           {"extra", "x"},
                                                           {"application.extra", 1}};
    for (const auto& [path, value] : values) {
        const std::string target = "metadata." + path;
        cases.push_back({target + " = " + value.dump(), Kind::deviceInfo, set(target, value), 400, target});
    }
    expect(cases);
}

TEST_F(WrongClientTest, ShowsTheAnswerAsSentAndTheSandboxOfTheLatestTokenUpdate) {
    struct Answer {
        json extra;
        bool hasBanner, hasMethod;
    };
    for (const auto& [extra, hasBanner, hasMethod] : std::vector<Answer>{
             {{{"action", "DENY"}}, false, false},
             {{{"action", "APPROVE"}, {"isBanner", false}, {"method", nullptr}}, true, true},
         }) {
        const auto id =
            running.adminPost("devices/" + device.id + "/authentications", json::object())["authenticationId"]
                .get<std::string>();
        const auto check =
            device.baseURL + "v1/push/check?authenticationId=" + id + "&bundleId=com.example.host";
        const auto claims = device.claims(extra);
        ASSERT_EQ(running.client().postJwt(check, makeToken(claims, device.key, device.id)).status, 200);
        const auto answer = running.adminGet("authentications/" + id)["answer"];
        EXPECT_EQ(answer, claims);
        EXPECT_EQ(answer.contains("isBanner"), hasBanner);
        EXPECT_EQ(answer.contains("method"), hasMethod);
    }

    auto production = device.claims({{"token", "cafe"}});
    production["metadata"]["application"]["pushSandbox"] = true;
    const auto updated = running.client().postJwt(device.baseURL + "v1/installedApplications/" +
                                                      device.installedApplicationId + "/updatePushToken",
                                                  makeToken(production, device.key, device.id));
    EXPECT_EQ(updated.status, 200) << updated.body;
    EXPECT_EQ(running.adminGet("state")["devices"][0]["sandbox"], true);
}

} // namespace
} // namespace velquor::service::test
