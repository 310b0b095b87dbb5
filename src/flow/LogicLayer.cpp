// Start-up, foreground handling, the reinstall check, the gates and the flows of LogicLayer.
// Flows that talk to the service arrive with the transport; until then they answer
// kNotAvailableInternalCode on the thread the real flow would use.
#include "flow/LogicLayer.hpp"

#include "flow/Completion.hpp"
#include "log/Log.hpp"
#include "remote/ErrorBuilder.hpp"
#include "velquor_build/BuildConstants.hpp"

#include <chrono>
#include <exception>

namespace velquor::detail {
namespace {

using items::kDataCenter;
using items::kDeviceTokenStr;
using items::kInstalledApplicationID;
using items::kStayPaired;

constexpr auto kDelayedRefreshDelay = std::chrono::milliseconds(1000);

// Lower-case hexadecimal, two digits per byte, in byte order.
std::string tokenText(const std::vector<std::uint8_t>& token) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(token.size() * 2);
    for (std::uint8_t byte : token) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

// First three characters, "***", last three: the token never reaches the log whole.
std::string maskedToken(const std::string& text) {
    if (text.size() < 3)
        return text + "***" + text;
    return text.substr(0, 3) + "***" + text.substr(text.size() - 3);
}

} // namespace

LogicLayer& LogicLayer::shared() {
    // Deliberately leaked: queued work and late threads may still use it while the process exits.
    static const auto* instance =
        new std::shared_ptr<LogicLayer>(create(PlatformContext::get(), DataManager::shared()));
    return **instance;
}

std::shared_ptr<LogicLayer> LogicLayer::create(const Platform& platform,
                                               std::shared_ptr<DataManager> dataManager) {
    if (!dataManager)
        dataManager = DataManager::make(DataManager::collaboratorsFor(platform.services));
    auto layer = std::make_shared<LogicLayer>(PrivateTag{}, platform, std::move(dataManager));
    layer->start();
    return layer;
}

LogicLayer::LogicLayer(PrivateTag, const Platform& platform, std::shared_ptr<DataManager> dataManager)
    : platform_(platform)
    , push_(platform.services.bundle)
    , keychain_(platform.services.keyStore)
    , defaults_(platform.services.preferences)
    , dataManager_(std::move(dataManager)) {}

LogicLayer::~LogicLayer() {
    if (foregroundObserver_)
        platform_.services.notificationCenter->removeObserver(*foregroundObserver_);
}

void LogicLayer::start() {
    const auto& services = platform_.services;
    registerMainQueues(services.queues);

    // Each step that calls a host service stands alone: a service that throws costs that step
    // only, and start-up still completes once, so no caller is answered for a half-started layer
    // and no later call starts it again.
    // The response handler and the transport join here once they exist.
    guardStep("Version line",
              [&] { services.console->writeLine(std::string("Velquor Version ") + build::kSdkVersion); });
    guardStep("Reinstall check", [&] {
        auto suite = defaults_.openSuite();
        if (!suite || suite->boolValue(std::string(items::kSuiteIsPairedKey)) != true)
            wipeDataIfNeeded();
    });

    VQ_LOG(LogLevel::info, kUnit, "init()", "Velquor init");

    guardStep("Foreground registration", [&] {
        std::weak_ptr<LogicLayer> weak = weak_from_this();
        foregroundObserver_ = services.notificationCenter->addObserver(
            kWillEnterForegroundNotification, [weak](const std::string&, const void*) {
                if (auto self = weak.lock())
                    self->appWillEnterForeground();
            });
    });
    refreshPermissions();
    scheduleDelayedRefresh();
}

void LogicLayer::guardStep(const char* step, const std::function<void()>& body) noexcept {
    try {
        body();
        return;
    } catch (const std::exception& e) {
        log(std::string(step) + " skipped: " + e.what(), LogLevel::error, kUnit, __LINE__, "init()");
    } catch (...) {
        log(std::string(step) + " skipped", LogLevel::error, kUnit, __LINE__, "init()");
    }
}

void LogicLayer::appWillEnterForeground() {
    VQ_LOG(LogLevel::info, kUnit, "appWillEnterForeground()", "App will enter foreground");
    refreshPermissions();
    scheduleDelayedRefresh();
}

void LogicLayer::refreshPermissions() {
    // The answers arrive later (notification settings on the facts' thread, background refresh
    // on the main queue); the next device description carries them.
    guardStep("Permission refresh", [this] { dataManager_->refreshPermissions(); });
}

void LogicLayer::scheduleDelayedRefresh() {
    guardStep("Delayed refresh", [this] {
        std::weak_ptr<LogicLayer> weak = weak_from_this();
        platform_.services.queues->asyncMainAfter(kDelayedRefreshDelay, [weak] {
            auto self = weak.lock();
            if (self && self->isPaired())
                self->getDeviceInfo({});
        });
    });
}

void LogicLayer::wipeDataIfNeeded() {
    constexpr const char* op = "wipeDataIfNeeded()";
    if (!isPaired())
        return; // nothing to wipe; the probe is not even written

    defaults_.setTempValue();
    if (auto suite = defaults_.openSuite())
        suite->synchronize();
    // A suite that does not keep what was just written cannot tell a reinstall from a normal
    // start: change nothing and look again at the next start.
    if (defaults_.getTempValue() != items::kTempValueKey)
        return;
    if (auto suite = defaults_.openSuite()) {
        suite->remove(std::string(items::kTempValueKey));
        suite->synchronize();
    }
    auto suite = defaults_.openSuite();
    if (suite && suite->boolValue(std::string(items::kSuiteIsPairedKey)) == true)
        return;

    // The key store says paired, the suite does not: the host application was reinstalled.
    if (keychain_.getString(kStayPaired).text) {
        VQ_LOG(LogLevel::info, kUnit, op, "Keep trust");
        if (suite) {
            suite->setBool(std::string(items::kSuiteIsPairedKey), true);
            suite->synchronize();
        }
    } else {
        keychain_.removeAllItems();
        VQ_LOG(LogLevel::info, kUnit, op, "Clean up");
    }
}

bool LogicLayer::isPaired() const {
    return keychain_.isPaired();
}

std::string LogicLayer::baseURL() const {
    return baseURL(keychain_.getString(kDataCenter).text, platform_.configuration);
}

const std::string& LogicLayer::baseURL(const std::optional<std::string>& dataCenter,
                                       const ResolvedConfiguration& configuration) {
    if (dataCenter == "EU")
        return configuration.europeBaseURL;
    if (dataCenter == "AU")
        return configuration.asiaPacificBaseURL;
    return configuration.northAmericaBaseURL;
}

void LogicLayer::async(const char* operation, std::function<void()> body) {
    platform_.services.queues->asyncGlobal(
        QualityOfService::userInitiated, [self = shared_from_this(), operation, body = std::move(body)] {
            try {
                body();
            } catch (const std::exception& e) {
                log(std::string("Unexpected failure: ") + e.what(), LogLevel::error, kUnit, __LINE__,
                    operation);
            } catch (...) {
                log("Unexpected failure", LogLevel::error, kUnit, __LINE__, operation);
            }
        });
}

Error LogicLayer::fail(ErrorCode code, std::uint8_t internalCode, const char* operation,
                       const std::optional<Json>& serverError) {
    Error error = ErrorBuilder::build(code, internalCode, serverError);
    log(error, LogLevel::error, kUnit, __LINE__, operation);
    return error;
}

Error LogicLayer::notAvailable(const char* operation) {
    log("not available in this build", LogLevel::error, kUnit, __LINE__, operation);
    return fail(ErrorCode::internalFailure, kNotAvailableInternalCode, operation);
}

// --- flows -----------------------------------------------------------------------------------

void LogicLayer::pair(const std::string& pairingKey, ErrorHandler completionHandler) {
    constexpr const char* op = "pair(withPairingKey:completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    async(op, [handler, pairingKey] {
        VQ_LOG(LogLevel::info, kUnit, op, "pairingKey=" + pairingKey);
        auto error = notAvailable(op);
        handler(error);
    });
}

void LogicLayer::approvePairing(const std::string& pairingKey, ErrorHandler completionHandler) {
    constexpr const char* op = "approve(completionHandler:)";
    auto handler = completion(std::move(completionHandler), "Core/PairingObject", op);
    async(op, [this, handler, pairingKey] {
        VQ_LOG(LogLevel::info, "Core/PairingObject", op, "approve pairing method");
        pair(pairingKey, handler);
    });
}

void LogicLayer::setDeviceToken(const std::vector<std::uint8_t>& deviceToken, APNSDeviceTokenType type,
                                ErrorHandler completionHandler) {
    constexpr const char* op = "setDeviceToken(_:type:completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    async(op, [this, handler, deviceToken, type] {
        std::string token = tokenText(deviceToken);
        VQ_LOG(LogLevel::info, kUnit, op, "deviceToken=" + maskedToken(token));
        push_.setDeviceTokenString(token);
        push_.setIsApnsSandbox(type == APNSDeviceTokenType::sandbox);
        dataManager_->setApnsSandbox(type == APNSDeviceTokenType::sandbox);

        // Not paired yet, or the service already has this token: the token stays in memory for
        // pairing and there is nothing to tell the service.
        auto stored = keychain_.getString(kDeviceTokenStr).text;
        if (!stored || !isPaired() || *stored == token) {
            handler(std::nullopt);
            return;
        }
        if (!keychain_.getString(kInstalledApplicationID).text) {
            auto error = fail(ErrorCode::internalFailure, 6, op);
            handler(error);
            return;
        }
        auto error = notAvailable(op);
        handler(error);
    });
}

void LogicLayer::processRemoteNotification(const Json&, NotificationHandler completionHandler) {
    constexpr const char* op = "processRemoteNotification(_:completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    async(op, [handler] {
        auto error = notAvailable(op);
        handler(std::nullopt, error);
    });
}

void LogicLayer::processRemoteNotificationAction(const std::string&, std::optional<std::string>, const Json&,
                                                 NotificationHandler completionHandler) {
    constexpr const char* op =
        "processRemoteNotificationAction(_:authenticationMethod:forRemoteNotification:completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    async(op, [handler] {
        auto error = notAvailable(op);
        handler(std::nullopt, error);
    });
}

void LogicLayer::answerNotification(const std::string& action, std::optional<std::string> urlString,
                                    std::optional<std::string> authenticationMethod,
                                    ErrorHandler completionHandler) {
    const bool approve = action == "APPROVE";
    const char* op = !approve               ? "deny(completionHandler:)"
                     : authenticationMethod ? "approve(withAuthenticationMethod:completionHandler:)"
                                            : "approve(completionHandler:)";
    auto handler = completion(std::move(completionHandler), "Core/NotificationObject", op);
    async(op, [this, handler, op, approve, action, urlString, authenticationMethod] {
        VQ_LOG(LogLevel::info, "Core/NotificationObject", op, approve ? "approve method" : "deny method");
        validatePush(action, std::nullopt, urlString, authenticationMethod, handler);
    });
}

void LogicLayer::validatePush(const std::string&, std::optional<bool>, std::optional<std::string> urlString,
                              std::optional<std::string>, ErrorHandler completionHandler) {
    constexpr const char* op = "validatePush(action:isBanner:urlStr:authenticationMethod:completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    if (!urlString) {
        auto error = fail(ErrorCode::internalFailure, 7, op);
        handler(error);
        return;
    }
    async(op, [handler] {
        auto error = notAvailable(op);
        handler(error);
    });
}

void LogicLayer::getDeviceInfo(InfoHandler completionHandler) {
    constexpr const char* op = "getDeviceInfo(completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    async(op, [this, handler] {
        VQ_LOG(LogLevel::info, kUnit, op, "getPairedUserDevices");
        auto error = isPaired() ? notAvailable(op) : fail(ErrorCode::deviceNotPaired, 51, op);
        handler(std::nullopt, error);
    });
}

void LogicLayer::sendLogs(SupportIdHandler completionHandler) {
    constexpr const char* op = "sendLogs(completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    if (!isPaired()) {
        auto error = fail(ErrorCode::deviceNotPaired, 47, op);
        handler(std::nullopt, error);
        return;
    }
    async(op, [handler] {
        auto error = notAvailable(op);
        handler(std::nullopt, error);
    });
}

std::vector<NotificationCategory> LogicLayer::getUNNotificationCategories() const {
    return push_.getUNNotificationCategories();
}

void LogicLayer::removeVelquorLocalData() const {
    keychain_.removeAllItems();
}

void LogicLayer::setDevicePairedAfterReinstall(bool paired) const {
    if (paired)
        keychain_.setString(kStayPaired, std::string(kStayPaired));
    else
        keychain_.deleteString(kStayPaired);
}

} // namespace velquor::detail
