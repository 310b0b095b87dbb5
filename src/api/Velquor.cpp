// The host-facing operations: each converts its arguments, guards the host's handler and
// forwards to the logic layer (or, for processIdToken, to the identity-token flow, and for
// generateMobilePayload, to the payload builder), without state of its own. No exception leaves
// these functions except the Error that generateMobilePayload documents.
#include "flow/Completion.hpp"
#include "flow/FlowErrors.hpp"
#include "flow/LogicLayer.hpp"
#include "flow/PushManager.hpp"
#include "log/Log.hpp"
#include "platform/PlatformContext.hpp"
#include "remote/Payload.hpp"
#include "util/BaseAddress.hpp"

#include <velquor/Velquor.hpp>

#include <exception>
#include <utility>

namespace velquor {

using detail::completion;
using detail::LogicLayer;
using detail::LogLevel;
using detail::NotificationPayload;

namespace {

constexpr const char* kUnit = "Velquor/Velquor";

template <typename Body, typename OnFailure>
void forward(const char* operation, Body&& body, OnFailure&& onFailure) noexcept {
    detail::guardBoundary(kUnit, operation, std::forward<Body>(body), std::forward<OnFailure>(onFailure));
}

} // namespace

std::optional<APNSDeviceTokenType> apnsDeviceTokenTypeFromRawValue(long rawValue) {
    if (rawValue == 0)
        return APNSDeviceTokenType::production;
    if (rawValue == 1)
        return APNSDeviceTokenType::sandbox;
    return std::nullopt;
}

bool Velquor::configure(Configuration configuration) {
    try {
        // An empty address means the built-in one; any other must be usable as it stands.
        for (const std::string* address : {&configuration.northAmericaBaseURL, &configuration.europeBaseURL,
                                           &configuration.asiaPacificBaseURL}) {
            if (address->empty())
                continue;
            if (auto problem = detail::BaseAddress::problem(*address)) {
                VQ_LOG(detail::LogLevel::error, kUnit, "configure(_:)",
                       "Configuration refused: base address \"" + *address + "\": " + *problem);
                return false;
            }
        }
        return detail::PlatformContext::configure(std::move(configuration));
    } catch (...) {
        return false;
    }
}

void Velquor::applicationWillEnterForeground() {
    constexpr const char* op = "applicationWillEnterForeground()";
    forward(
        op,
        [] {
            detail::PlatformContext::get().services.notificationCenter->post(
                LogicLayer::kWillEnterForegroundNotification, nullptr);
        },
        [](const Error&) {});
}

void Velquor::pair(const std::string& pairingKey, ErrorHandler completionHandler) {
    constexpr const char* op = "pair(_:completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    forward(
        op, [&] { LogicLayer::shared()->pair(pairingKey, handler); },
        [&](const Error& error) { handler(error); });
}

void Velquor::processIdToken(const std::string& idToken, PairingHandler completionHandler) {
    constexpr const char* op = "processIdToken(_:completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    forward(
        op, [&] { LogicLayer::pairWithIdToken(idToken, handler); },
        [&](const Error& error) { handler(std::nullopt, error); });
}

void Velquor::setDeviceToken(const std::vector<std::uint8_t>& deviceToken, APNSDeviceTokenType type,
                             ErrorHandler completionHandler) {
    constexpr const char* op = "setDeviceToken(_:type:completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    forward(
        op, [&] { LogicLayer::shared()->setDeviceToken(deviceToken, type, handler); },
        [&](const Error& error) { handler(error); });
}

std::string Velquor::generateMobilePayload() {
    constexpr const char* op = "generateMobilePayload()";
    try {
        // The process's device data and key store, without starting the logic layer.
        const auto& services = detail::PlatformContext::get().services;
        return detail::Payload(detail::DataManager::shared(services), services.keyStore).create();
    } catch (const Error&) {
        throw; // built and logged by the payload
    } catch (const std::exception& e) {
        detail::log(std::string("Unexpected failure: ") + e.what(), LogLevel::error, kUnit, __LINE__, op);
    } catch (...) {
        detail::log("Unexpected failure", LogLevel::error, kUnit, __LINE__, op);
    }
    throw detail::flowError(ErrorCode::internalFailure, detail::kUnexpectedFailureInternalCode, kUnit, op);
}

std::vector<NotificationCategory> Velquor::getUNNotificationCategories() {
    constexpr const char* op = "getUNNotificationCategories()";
    std::vector<NotificationCategory> categories;
    forward(
        op, [&] { categories = LogicLayer::shared()->getUNNotificationCategories(); },
        [&](const Error&) { categories = detail::PushManager(nullptr).getUNNotificationCategories(); });
    return categories;
}

void Velquor::processRemoteNotification(const Json& userInfo, NotificationHandler completionHandler) {
    constexpr const char* op = "processRemoteNotification(_:completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    forward(
        op, [&] { LogicLayer::shared()->processRemoteNotification(NotificationPayload(userInfo), handler); },
        [&](const Error& error) { handler(std::nullopt, error); });
}

void Velquor::processRemoteNotificationAction(const std::string& identifier,
                                              std::optional<std::string> authenticationMethod,
                                              const Json& userInfo, NotificationHandler completionHandler) {
    constexpr const char* op =
        "processRemoteNotificationAction(_:authenticationMethod:forRemoteNotification:completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    forward(
        op,
        [&] {
            LogicLayer::shared()->processRemoteNotificationAction(identifier, std::move(authenticationMethod),
                                                                  NotificationPayload(userInfo), handler);
        },
        [&](const Error& error) { handler(std::nullopt, error); });
}

void Velquor::processRemoteNotificationAction(const std::string& identifier, const Json& userInfo,
                                              NotificationHandler completionHandler) {
    processRemoteNotificationAction(identifier, std::nullopt, userInfo, std::move(completionHandler));
}

void Velquor::getInfo(InfoHandler completionHandler) {
    constexpr const char* op = "getInfo(_:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    forward(
        op, [&] { LogicLayer::shared()->getDeviceInfo(handler); },
        [&](const Error& error) { handler(std::nullopt, error); });
}

void Velquor::removeVelquorLocalData() {
    forward(
        "removeVelquorLocalData()", [] { LogicLayer::shared()->removeVelquorLocalData(); },
        [](const Error&) {});
}

void Velquor::setDevicePairedAfterReinstall(bool paired) {
    forward(
        "setDevicePairedAfterReinstall(_:)",
        [&] { LogicLayer::shared()->setDevicePairedAfterReinstall(paired); }, [](const Error&) {});
}

void Velquor::sendLogs(SupportIdHandler completionHandler) {
    constexpr const char* op = "sendLogs(completionHandler:)";
    auto handler = completion(std::move(completionHandler), kUnit, op);
    forward(
        op, [&] { LogicLayer::shared()->sendLogs(handler); },
        [&](const Error& error) { handler(std::nullopt, error); });
}

} // namespace velquor
