#include "device/DataManager.hpp"

#include "device/DeviceInfo.hpp"
#include "device/PermissionChecker.hpp"
#include "device/Reachability.hpp"
#include "log/LogTapOnly.hpp"
#include "util/RandomUUID.hpp"
#include "util/Utf8.hpp"
#include "velquor_build/BuildConstants.hpp"

#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <random>

namespace velquor::detail {

namespace {

constexpr std::int64_t kClaimLifetimeSeconds = 120;

// "jti" must never repeat; should OpenSSL's source fail, the system's own still gives a fresh one.
std::string freshUUIDText() {
    if (auto text = randomUUIDText())
        return *text;
    std::random_device device;
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-4%03X-%04X-%04X%08X", device(), device() & 0xFFFF,
                  device() & 0xFFF, (device() & 0x3FFF) | 0x8000, device() & 0xFFFF, device());
    return text;
}

std::string textOr(const std::optional<std::string>& value, const char* fallback) {
    return value ? sanitizeUtf8(*value) : std::string(fallback);
}

} // namespace

DataManager::Collaborators DataManager::collaboratorsFor(const PlatformServices& services) {
    Collaborators collaborators;
    collaborators.keyStore = services.keyStore;
    collaborators.bundle = services.bundle;
    collaborators.queues = services.queues;
    collaborators.notificationCenter = services.notificationCenter;
    collaborators.deviceFacts = services.deviceFacts;
    collaborators.reachabilityFlags = services.reachabilityFlags;
    return collaborators;
}

const std::shared_ptr<DataManager>& DataManager::shared(const PlatformServices& processServices) {
    // Never destroyed: permission answers and token builds may still run while the process exits.
    static const auto* instance = [&] {
        const LogTapOnly tapOnly; // what making it logs must not wait for the process log
        return new std::shared_ptr<DataManager>(make(collaboratorsFor(processServices)));
    }();
    return *instance;
}

std::shared_ptr<DataManager> DataManager::make(Collaborators collaborators) {
    return std::shared_ptr<DataManager>(new DataManager(std::move(collaborators)));
}

DataManager::DataManager(Collaborators collaborators)
    : collaborators_(std::move(collaborators))
    , keychain_(collaborators_.keyStore) {}

PermissionChecker DataManager::permissionChecker() {
    return PermissionChecker(weak_from_this(), collaborators_.deviceFacts, collaborators_.queues);
}

void DataManager::refreshPermissions() {
    std::weak_ptr<DataManager> weak = weak_from_this();
    PermissionChecker checker = permissionChecker();
    collaborators_.deviceFacts->requestNotificationAuthorizationStatus(
        [checker](std::optional<int> status) { checker.updatePushPermission(status); });
    checker.checkSilentPushPermission([weak](std::string text) {
        if (auto self = weak.lock())
            self->setSilentPushPermission(std::move(text));
    });
}

std::optional<std::string> DataManager::bundleText(const std::optional<std::string>& value) const {
    if (!value)
        return std::nullopt;
    return sanitizeUtf8(*value);
}

std::optional<std::string> DataManager::appVersion() const {
    const BundleInfo& bundle = *collaborators_.bundle;
    auto shortVersion = bundle.mainBundleValue("CFBundleShortVersionString");
    auto build = bundle.mainBundleValue("CFBundleVersion");
    if (!shortVersion || !build)
        return std::nullopt;
    return sanitizeUtf8(*shortVersion) + "(" + sanitizeUtf8(*build) + ")";
}

std::string DataManager::networkType() const {
    std::shared_ptr<ReachabilityReference> reference;
    if (collaborators_.reachabilityFlags)
        reference = collaborators_.reachabilityFlags->createWithAnyIPv4Address();
    if (!reference)
        return "Other";
    // One read through the connection rule, without a Reachability object: such an object would
    // make a serial queue and announce its first read on the main queue, once per request, for
    // nobody to hear (it is gone before the announcement runs). A failed read is no connection.
    const Connection connection = Reachability::connectionFor(reference->flags(), true);
    // No connection at all counts as "Cellular": only a refused reference is "Other".
    return connection == Connection::wifi ? "WiFi" : "Cellular";
}

Json DataManager::getDeviceData() {
    refreshPermissions();

    const DeviceFacts& facts = *collaborators_.deviceFacts;
    DeviceInfo info(collaborators_.deviceFacts, collaborators_.bundle);
    PermissionChecker checker = permissionChecker();

    Json data = Json::object();
    data["os"] = Json{{"version", textOr(facts.systemVersion(), "unknown")}, {"type", "IOS"}};
    data["model"] = Json{{"name", info.modelIdentifier()},
                         {"marketingName", keychain_.getString(items::kDeviceMarketName).text.value_or("")}};
    data["name"] = textOr(facts.deviceName(), "unknown");
    data["manufacturer"] = "Apple";
    data["apiVersion"] = "v1";
    data["sdkVersion"] = build::kSdkVersion;
    data["rooted"] = false;
    data["lockEnabled"] = facts.canEvaluateDeviceOwnerAuthentication() ? "true" : "false";
    data["locale"] = info.localeText();
    data["networkType"] = networkType();
    data["networksInfo"] = "unknown";
    data["application"] = Json{
        {"bundleId", bundleText(collaborators_.bundle->mainBundleValue("CFBundleIdentifier")).value_or("")},
        {"version", appVersion().value_or("")},
        {"name", info.appName()},
        {"pushSandbox", isApnsSandbox()}};
    // The refreshes requested above normally answer later: their texts show in the next build.
    data["permissions"] = Json{{"camera", checker.cameraPermission()},
                               {"location", checker.locationPermission()},
                               {"push", pushPermission()},
                               {"silentPush", silentPushPermission()}};
    return data;
}

bool DataManager::addIdentityClaims(Json& claims) const {
    std::optional<std::string> fingerprint = keychain_.deviceFingerprint();
    if (!fingerprint)
        return false;
    claims["fnp"] = *fingerprint;
    if (auto issuer = keychain_.getString(items::kInstalledApplicationID).text)
        claims["iss"] = *issuer;
    if (auto device = keychain_.getString(items::kMobileDeviceID).text)
        claims["dvc"] = *device;
    claims["jti"] = freshUUIDText();
    auto now = collaborators_.clock ? collaborators_.clock() : std::chrono::system_clock::now();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    claims["exp"] = static_cast<std::int64_t>(seconds) + kClaimLifetimeSeconds;
    return true;
}

std::optional<Json> DataManager::getRequestClaims() {
    Json claims = Json::object();
    claims["metadata"] = getDeviceData();
    if (!addIdentityClaims(claims))
        return std::nullopt;
    return claims;
}

std::optional<Json> DataManager::getPayloadClaims() {
    Json claims = Json::object();
    if (!keychain_.isPaired()) {
        std::string bundleId =
            bundleText(collaborators_.bundle->mainBundleValue("CFBundleIdentifier")).value_or("");
        claims["metadata"] = Json{{"application", Json{{"bundleId", bundleId}}}};
    }
    if (!addIdentityClaims(claims))
        return std::nullopt;
    return claims;
}

bool DataManager::isApnsSandbox() const {
    std::lock_guard lock(mutex_);
    return isApnsSandbox_;
}

void DataManager::setApnsSandbox(bool sandbox) {
    std::lock_guard lock(mutex_);
    isApnsSandbox_ = sandbox;
}

std::string DataManager::pushPermission() const {
    std::lock_guard lock(mutex_);
    return pushPermission_;
}

void DataManager::setPushPermission(std::string text) {
    std::lock_guard lock(mutex_);
    pushPermission_ = std::move(text);
}

std::string DataManager::silentPushPermission() const {
    std::lock_guard lock(mutex_);
    return silentPushPermission_;
}

void DataManager::setSilentPushPermission(std::string text) {
    std::lock_guard lock(mutex_);
    silentPushPermission_ = std::move(text);
}

} // namespace velquor::detail
