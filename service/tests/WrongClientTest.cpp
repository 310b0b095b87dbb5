// Requests as a wrong client builds them, each refused with its status and the member it got
// wrong, next to the same requests built correctly (the library's claim sets, by hand), accepted.
#include "ServiceTestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace velquor::service::test {
namespace {

enum class Kind { pairing, deviceInfo, pushCheck, logs };

// One request with one mistake: `where` is "" (none), "query" (the text appended to the address),
// "header.NAME" or a dotted claim path; a null `value` removes the member.
struct Case {
    std::string name;
    Kind kind;
    std::string where;
    json value;
    long status;
    std::string target, detail; // empty: accepted
};

void change(json& node, std::string path, const json& value) {
    std::replace(path.begin(), path.end(), '.', '/');
    const json::json_pointer pointer("/" + path);
    if (value.is_null())
        node[pointer.parent_pointer()].erase(pointer.back());
    else
        node[pointer] = value;
}

class WrongClientTest : public ::testing::Test {
protected:
    RunningService running;
    PairedDevice device = running.pair(TestKey::shared(0));
    int uploads = 0;

    HttpReply send(const Case& c) {
        json header{{"typ", "JWT"}, {"kid", device.id}};
        json claims = device.claims();
        std::string path = "v1/deviceInfo", query;
        if (c.kind == Kind::pairing) {
            header.erase("kid");
            claims = RunningService::pairingClaims(running.pairingKey("EU"), *device.key);
            path = "v1/pairings";
        } else if (c.kind == Kind::pushCheck) {
            path = "v1/push/check?authenticationId=" + running.authenticate(device);
            query = "&bundleId=com.example.host";
            claims["action"] = "APPROVE";
        } else if (c.kind == Kind::logs) {
            claims.erase("metadata"); // the payload claim set of a paired device
            claims.update({{"sha256", sha256Hex("zip")}, {"supportId", std::to_string(++uploads)}});
            path = "v1/logs";
        }
        if (c.where == "query")
            query = c.value;
        else if (c.where.rfind("header.", 0) == 0)
            change(header, c.where.substr(7), c.value);
        else if (!c.where.empty())
            change(claims, c.where, c.value);
        const auto token =
            makeTokenWithHeader(header, claims, c.kind == Kind::pairing ? nullptr : device.key);
        if (c.kind == Kind::logs)
            return running.upload(device, token, multipartBody("zip"));
        return running.post(device.baseURL + path + query, token);
    }

    void expect(const std::vector<Case>& cases) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            const auto reply = send(c);
            if (c.target.empty()) {
                EXPECT_EQ(reply.status, c.status) << reply.body;
                running.replyClaims(reply);
            } else
                running.expectRefusal(reply, c.status, c.status == 400 ? "INVALID_DATA" : "UNAUTHORIZED",
                                      c.target, c.detail);
        }
    }
};

TEST_F(WrongClientTest, RefusesWrongTokensAndClaimSetsAndAcceptsCorrectOnes) {
    const auto inMilliseconds = (nowSeconds() + 120) * 1000;
    const json unpaired{{"application", {{"bundleId", "com.example.host"}}}};
    const auto bundle = std::string("&bundleId=com.example.host");
    // A 2048-bit SubjectPublicKeyInfo is a 24-byte header before the bare RSAPublicKey.
    const auto pkcs1 = ServiceBase64::encode(base64StandardDecode(device.key->publicKeyBase64())->substr(24));
    expect({
        {"correct pairing", Kind::pairing, "", {}, 201, "", ""},
        {"correct device info", Kind::deviceInfo, "", {}, 200, "", ""},
        {"correct push check", Kind::pushCheck, "", {}, 200, "", ""},
        {"correct log upload", Kind::logs, "", {}, 201, "", ""},
        {"unpaired payload claims", Kind::logs, "metadata", unpaired, 201, "", ""},
        {"empty device name", Kind::deviceInfo, "metadata.name", "", 200, "", ""},
        {"empty locale", Kind::deviceInfo, "metadata.locale", "", 200, "", ""},
        {"expired", Kind::deviceInfo, "exp", nowSeconds() - 5, 401, "exp", "TOKEN_EXPIRED"},
        {"exp a text", Kind::deviceInfo, "exp", "soon", 401, "exp", "EXPIRATION_INVALID"},
        {"kid unknown", Kind::deviceInfo, "header.kid", "no-such-device", 401, "kid", "UNKNOWN_DEVICE"},
        {"kid missing", Kind::deviceInfo, "header.kid", nullptr, 401, "kid", "KEY_ID_MISSING"},
        {"dvc of another", Kind::deviceInfo, "dvc", "other-device", 401, "dvc", "DEVICE_MISMATCH"},
        {"iss of another", Kind::deviceInfo, "iss", "other-app", 401, "iss", "ISSUER_MISMATCH"},
        {"exp in milliseconds", Kind::deviceInfo, "exp", inMilliseconds, 400, "exp", "EXPIRATION_TOO_FAR"},
        {"exp in milliseconds, pairing", Kind::pairing, "exp", inMilliseconds, 400, "exp",
         "EXPIRATION_TOO_FAR"},
        {"pairing without exp", Kind::pairing, "exp", nullptr, 400, "exp", "EXPIRATION_MISSING"},
        {"pairing without jti", Kind::pairing, "jti", nullptr, 400, "jti", "TOKEN_ID_MISSING"},
        {"no typ", Kind::deviceInfo, "header.typ", nullptr, 400, "typ", "TYPE_INVALID"},
        {"typ in lower case", Kind::pairing, "header.typ", "jwt", 400, "typ", "TYPE_INVALID"},
        {"no metadata", Kind::deviceInfo, "metadata", nullptr, 400, "metadata", "CLAIM_MISSING"},
        {"no fnp", Kind::pushCheck, "fnp", nullptr, 400, "fnp", "CLAIM_MISSING"},
        {"pairing without metadata", Kind::pairing, "metadata", nullptr, 400, "metadata", "CLAIM_MISSING"},
        {"payload claims in a request", Kind::deviceInfo, "metadata", unpaired, 400, "metadata.os",
         "DEVICE_DATA_MISSING"},
        {"request claims on a log upload", Kind::logs, "metadata", deviceData(), 400, "metadata",
         "CLAIM_SET_INVALID"},
        {"log upload without fnp", Kind::logs, "fnp", nullptr, 400, "fnp", "CLAIM_MISSING"},
        {"bare PKCS#1 device key", Kind::pairing, "mobileDevice.publicKey", pkcs1, 400, "publicKey",
         "PUBLIC_KEY_INVALID"},
        {"device key not Base64", Kind::pairing, "mobileDevice.publicKey", "not base64!", 400, "publicKey",
         "PUBLIC_KEY_INVALID"},
        {"no pairing key", Kind::pairing, "pairingKey", nullptr, 400, "pairingKey", "PAIRING_KEY_MISSING"},
        {"no bundleId", Kind::pushCheck, "query", "", 400, "bundleId", "BUNDLE_ID_MISSING"},
        {"bundleId twice", Kind::pushCheck, "query", bundle + bundle, 400, "bundleId", "BUNDLE_ID_REPEATED"},
        {"other bundleId", Kind::pushCheck, "query", "&bundleId=x", 400, "bundleId", "BUNDLE_ID_MISMATCH"},
        {"query on device info", Kind::deviceInfo, "query", "?bundleId=x", 400, "bundleId",
         "QUERY_UNEXPECTED"},
        {"query on pairing", Kind::pairing, "query", "?x=1", 400, "x", "QUERY_UNEXPECTED"},
    });
}

TEST_F(WrongClientTest, RefusesDeviceDataOutsideItsDescription) {
    std::vector<Case> cases;
    std::istringstream paths(
        "os os.version os.type model model.name model.marketingName name manufacturer "
        "apiVersion sdkVersion rooted lockEnabled locale networkType networksInfo application "
        "application.bundleId application.version application.name application.pushSandbox "
        "permissions permissions.camera permissions.location permissions.push "
        "permissions.silentPush");
    for (std::string path; paths >> path;) {
        const std::string target = std::string("metadata.") + path;
        cases.push_back({target, Kind::deviceInfo, target, nullptr, 400, target, "DEVICE_DATA_MISSING"});
        cases.push_back({target, Kind::deviceInfo, target, 7, 400, target, "DEVICE_DATA_INVALID"});
    }
    for (const auto& [path, value] :
         std::vector<std::pair<std::string, json>>{{"os.type", "ANDROID"},
                                                   {"manufacturer", "Google"},
                                                   {"apiVersion", "v2"},
                                                   {"rooted", true},
                                                   {"lockEnabled", true},
                                                   {"lockEnabled", "yes"},
                                                   {"networkType", "5G"},
                                                   {"permissions.camera", "granted"},
                                                   {"permissions.location", "authorized"},
                                                   {"permissions.push", "provisional"},
                                                   {"permissions.silentPush", "authorized"}}) {
        const std::string target = "metadata." + path;
        cases.push_back(
            {target + value.dump(), Kind::deviceInfo, target, value, 400, target, "DEVICE_DATA_INVALID"});
    }
    for (const char* path : {"metadata.extra", "metadata.application.extra"})
        cases.push_back({path, Kind::deviceInfo, path, 1, 400, path, "DEVICE_DATA_UNEXPECTED"});
    expect(cases);
}

} // namespace
} // namespace velquor::service::test
