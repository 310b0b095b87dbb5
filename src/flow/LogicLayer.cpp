// Start-up, foreground handling, the reinstall check, the gates, and the hand-over of each
// operation to its flow on the global queue.
#include "flow/LogicLayer.hpp"

#include "flow/Completion.hpp"
#include "log/Log.hpp"
#include "velquor_build/BuildConstants.hpp"

#include <exception>

namespace velquor::detail {

const std::shared_ptr<LogicLayer>& LogicLayer::shared() {
    // Deliberately leaked: queued work and late threads may still use it while the process exits.
    static const auto* instance = new std::shared_ptr<LogicLayer>(
        create(PlatformContext::get(), DataManager::shared(PlatformContext::get().services)));
    return *instance;
}

std::shared_ptr<LogicLayer> LogicLayer::create(const Platform& platform,
                                               std::shared_ptr<DataManager> dataManager) {
    if (!dataManager)
        dataManager = DataManager::make(DataManager::collaboratorsFor(platform.services));
    auto layer = std::make_shared<LogicLayer>(PrivateTag{}, platform, std::move(dataManager));
    layer->start();
    return layer;
}

std::shared_ptr<LogicLayer> LogicLayer::answering(const std::weak_ptr<LogicLayer>& maker) {
    // A pointer never set shares no owner with an empty one; an expired one still does not.
    const std::weak_ptr<LogicLayer> none;
    if (!maker.owner_before(none) && !none.owner_before(maker))
        return shared();
    return maker.lock();
}

namespace {

FlowCollaborators collaboratorsFor(const Platform& platform, std::shared_ptr<DataManager> dataManager) {
    const auto& services = platform.services;
    const auto& configuration = platform.configuration;
    Keychain keychain(services.keyStore);
    Communication communication({services.http, services.keyStore, dataManager, services.console,
                                 services.reachabilityFlags, services.queues, services.notificationCenter});
    return FlowCollaborators{
        platform,
        keychain,
        Defaults(services.preferences),
        dataManager,
        RequestBuilder(services.bundle),
        URLManager(configuration.northAmericaBaseURL, configuration.europeBaseURL,
                   configuration.asiaPacificBaseURL),
        RequestToken(dataManager, services.keyStore),
        std::make_shared<PushManager>(services.bundle),
        std::move(communication),
        ResponseHandler(keychain),
    };
}

} // namespace

LogicLayer::LogicLayer(PrivateTag, const Platform& platform, std::shared_ptr<DataManager> dataManager)
    : c_(collaboratorsFor(platform, std::move(dataManager)))
    , pairing_(std::make_shared<PairingFlow>(c_))
    , pushToken_(std::make_shared<PushTokenFlow>(c_))
    , notifications_(std::make_shared<NotificationFlow>(c_))
    , deviceInfo_(std::make_shared<DeviceInfoFlow>(c_))
    , logUpload_(std::make_shared<LogUploadFlow>(c_)) {}

LogicLayer::~LogicLayer() {
    if (foregroundObserver_)
        c_.platform.services.notificationCenter->removeObserver(*foregroundObserver_);
}

void LogicLayer::start() {
    const auto& services = c_.platform.services;
    registerMainQueues(services.queues);

    // Each step that calls a host service stands alone: a service that throws costs that step
    // only, and start-up still completes once, so no caller is answered for a half-started layer
    // and no later call starts it again.
    guardStep("Version line",
              [&] { services.console->writeLine(std::string("Velquor Version ") + build::kSdkVersion); });
    guardStep("Reinstall check", [&] {
        auto suite = c_.defaults.openSuite();
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
    guardStep("Permission refresh", [this] { c_.dataManager->refreshPermissions(); });
}

void LogicLayer::scheduleDelayedRefresh() {
    guardStep("Delayed refresh", [this] {
        deviceInfo_->scheduleRefresh([weak = weak_from_this()] {
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

    c_.defaults.setTempValue();
    if (auto suite = c_.defaults.openSuite())
        suite->synchronize();
    // A suite that does not keep what was just written cannot tell a reinstall from a normal
    // start: change nothing and look again at the next start.
    if (c_.defaults.getTempValue() != items::kTempValueKey)
        return;
    if (auto suite = c_.defaults.openSuite()) {
        suite->remove(std::string(items::kTempValueKey));
        suite->synchronize();
    }
    auto suite = c_.defaults.openSuite();
    if (suite && suite->boolValue(std::string(items::kSuiteIsPairedKey)) == true)
        return;

    // The key store says paired, the suite does not: the host application was reinstalled.
    if (c_.keychain.getString(items::kStayPaired).text) {
        VQ_LOG(LogLevel::info, kUnit, op, "Keep trust");
        if (suite) {
            suite->setBool(std::string(items::kSuiteIsPairedKey), true);
            suite->synchronize();
        }
    } else {
        c_.keychain.removeAllItems();
        VQ_LOG(LogLevel::info, kUnit, op, "Clean up");
    }
}

bool LogicLayer::isPaired() const {
    return c_.keychain.isPaired();
}

std::string LogicLayer::baseURL() const {
    return c_.urlManager.baseURLForDataCenter(c_.keychain.getString(items::kDataCenter).text);
}

template <typename... Args>
void LogicLayer::async(const char* operation, const Completion<Args...>& handler,
                       std::function<void()> body) {
    c_.platform.services.queues->asyncGlobal(
        QualityOfService::userInitiated,
        [self = shared_from_this(), operation, handler, body = std::move(body)] {
            guardBoundary(kUnit, operation, body,
                          [&handler](Error error) { handler.failIfPending(std::move(error)); });
        });
}

// --- operations: each body runs on the global queue, where `this` is kept alive by async ------

void LogicLayer::pair(const std::string& pairingKey, ErrorHandler completionHandler) {
    constexpr const char* op = "pair(withPairingKey:completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    async(op, handler, [this, handler, pairingKey] { pairing_->pair(pairingKey, handler); });
}

void LogicLayer::pairWithIdToken(const std::string& idToken, PairingHandler completionHandler) {
    PairingFlow::processIdToken(
        idToken, completion(std::move(completionHandler), kUnit, "pair(withIdToken:completionHandler:)"), {});
}

void LogicLayer::processIdToken(const std::string& idToken, PairingHandler completionHandler) {
    PairingFlow::processIdToken(
        idToken, completion(std::move(completionHandler), kUnit, "pair(withIdToken:completionHandler:)"),
        weak_from_this());
}

void LogicLayer::approvePairing(const std::string& pairingKey, ErrorHandler completionHandler) {
    constexpr const char* op = "approve(completionHandler:)";
    auto handler = completion(std::move(completionHandler), "Core/PairingObject", op);
    async(op, handler, [this, handler, pairingKey] { pairing_->approve(pairingKey, handler); });
}

void LogicLayer::setDeviceToken(const std::vector<std::uint8_t>& deviceToken, APNSDeviceTokenType type,
                                ErrorHandler completionHandler) {
    constexpr const char* op = "setDeviceToken(_:type:completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    async(op, handler,
          [this, handler, deviceToken, type] { pushToken_->setDeviceToken(deviceToken, type, handler); });
}

void LogicLayer::processRemoteNotification(NotificationPayload payload,
                                           NotificationHandler completionHandler) {
    constexpr const char* op = "processRemoteNotification(_:completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    async(op, handler, [this, handler, payload = std::move(payload)] {
        notifications_->processRemoteNotification(payload, handler, weak_from_this());
    });
}

void LogicLayer::processRemoteNotificationAction(const std::string& identifier,
                                                 std::optional<std::string> authenticationMethod,
                                                 NotificationPayload payload,
                                                 NotificationHandler completionHandler) {
    constexpr const char* op =
        "processRemoteNotificationAction(_:authenticationMethod:forRemoteNotification:completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    async(op, handler, [this, handler, identifier, authenticationMethod, payload = std::move(payload)] {
        notifications_->processRemoteNotificationAction(identifier, authenticationMethod, payload, handler,
                                                        weak_from_this());
    });
}

void LogicLayer::answerNotification(const std::string& action, std::optional<std::string> urlString,
                                    std::optional<std::string> authenticationMethod,
                                    ErrorHandler completionHandler) {
    const char* op = NotificationFlow::answerOperation(action, authenticationMethod);
    auto handler = completion(std::move(completionHandler), "Core/NotificationObject", op);
    async(op, handler, [this, handler, action, urlString, authenticationMethod] {
        notifications_->answer(action, urlString, authenticationMethod, handler);
    });
}

void LogicLayer::getDeviceInfo(InfoHandler completionHandler) {
    constexpr const char* op = "getDeviceInfo(completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    async(op, handler, [this, handler] {
        VQ_LOG(LogLevel::info, kUnit, op, "getPairedUserDevices");
        if (!isPaired())
            return handler(std::nullopt, flowError(ErrorCode::deviceNotPaired, 51, kUnit, op));
        // A reply that asks for the logs starts an upload nobody waits for.
        deviceInfo_->getDeviceInfo(handler, [weak = weak_from_this()] {
            if (auto self = weak.lock())
                self->sendLogs({});
        });
    });
}

void LogicLayer::sendLogs(SupportIdHandler completionHandler) {
    constexpr const char* op = "sendLogs(completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    if (!isPaired())
        return handler(std::nullopt, flowError(ErrorCode::deviceNotPaired, 47, kUnit, op));
    async(op, handler, [this, handler] { logUpload_->sendLogs(handler); });
}

std::vector<NotificationCategory> LogicLayer::getUNNotificationCategories() const {
    return c_.push->getUNNotificationCategories();
}

void LogicLayer::removeVelquorLocalData() const {
    c_.keychain.removeAllItems();
}

void LogicLayer::setDevicePairedAfterReinstall(bool paired) const {
    if (paired)
        c_.keychain.setString(items::kStayPaired, std::string(items::kStayPaired));
    else
        c_.keychain.deleteString(items::kStayPaired);
}

} // namespace velquor::detail
