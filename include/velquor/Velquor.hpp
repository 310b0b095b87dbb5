// Velquor: the host application's whole interface to multi-factor authentication.
//
// Every operation is a static member of `velquor::Velquor`. Asynchronous operations return at
// once and call their completion handler exactly once, on one of the library's background
// threads (never the host's main thread); a host that updates its user interface moves to its
// own main thread first.
//
//   velquor::Velquor::pair("01AB...", [](std::optional<velquor::Error> error) {
//       if (error) std::cerr << error->localizedDescription() << " " << error->code() << "\n";
//   });
#pragma once

#include <velquor/Export.hpp>
#include <velquor/Platform.hpp>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

extern "C" {
// "@(#)PROGRAM:Velquor  PROJECT:Velquor-<build number>\n", NUL-terminated.
VELQUOR_EXPORT extern const char VelquorVersionString[];
// The library's build number (92.0 in a default build).
VELQUOR_EXPORT extern const double VelquorVersionNumber;
}

namespace velquor {

using Json = nlohmann::json;

namespace detail {
class ErrorBuilder;
class LogicLayer;
class LogicLayerAccess;
} // namespace detail

// The public error codes. Append-only: a code, once published, keeps its raw value.
enum class ErrorCode : int {
    internalFailure = 10000,
    deviceTokenMissing = 10001,
    notificationNotFromService = 10002,
    serverError = 10003,
    networkError = 10004,
    pairingKeyError = 10005,
    bundleIdError = 10006,
    pairedInOtherRegion = 10007,
    deviceNotPaired = 10008,
    pushConfirmationTimedOut = 10009,
};

// Accepts exactly 10000...10009.
VELQUOR_EXPORT std::optional<ErrorCode> errorCodeFromRawValue(long rawValue);

// The one error value every failure reaches the host as. Immutable; safe to copy across threads.
//   domain()   "VelquorErrorDomain"
//   code()     the raw value of an ErrorCode
//   userInfo() {"internalErrorCode": 20000 + internal code, "type": "sdk"|"server"|"os",
//               "internalError": (server or os only), "NSLocalizedDescription": message}
class VELQUOR_EXPORT Error : public std::exception {
public:
    const std::string& domain() const noexcept { return domain_; }
    int code() const noexcept { return code_; }
    const Json& userInfo() const noexcept { return userInfo_; }
    const std::string& localizedDescription() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    friend class detail::ErrorBuilder;
    Error(int code, Json userInfo, std::string message);

    std::string domain_;
    int code_;
    Json userInfo_;
    std::string message_;
};

// The push environment a device token belongs to.
enum class APNSDeviceTokenType : long { production = 0, sandbox = 1 };

// Accepts 0 and 1 only.
VELQUOR_EXPORT std::optional<APNSDeviceTokenType> apnsDeviceTokenTypeFromRawValue(long rawValue);

using ErrorHandler = std::function<void(std::optional<Error>)>;

// A pending pairing obtained from an identity token. Only processIdToken makes one.
class VELQUOR_EXPORT PairingObject {
public:
    const std::string& pairingKey() const noexcept { return pairingKey_; }

    // Pairs with the object's key; the handler runs once, on a library thread.
    void approve(ErrorHandler completionHandler) const;

private:
    friend class detail::LogicLayerAccess;
    PairingObject(std::string pairingKey, std::weak_ptr<detail::LogicLayer> maker);

    std::string pairingKey_;
    // The library's own: the part that made the object, which answers for it.
    std::weak_ptr<detail::LogicLayer> maker_;
};

// A push notification of the service, as the host's screen or banner handles it.
// Only the notification operations make one.
class VELQUOR_EXPORT NotificationObject {
public:
    enum class NotificationType : int { unrecognized = -1, other = 0, authentication = 1 };

    NotificationType notificationType() const noexcept { return notificationType_; }
    // The service's answer deadline in seconds (45 unless the notification says otherwise).
    long timeoutDuration() const noexcept { return timeoutDuration_; }

    // Answers the authentication request; each handler runs once, on a library thread. The answer
    // goes only to one of the service's own hosts (see Velquor::processRemoteNotification).
    void approve(std::optional<std::string> authenticationMethod, ErrorHandler completionHandler) const;
    void approve(ErrorHandler completionHandler) const;
    void deny(ErrorHandler completionHandler) const;

private:
    friend class detail::LogicLayerAccess;
    NotificationObject(NotificationType type, long timeoutDuration, std::optional<std::string> urlString,
                       std::optional<std::string> contentType, std::weak_ptr<detail::LogicLayer> maker);

    NotificationType notificationType_;
    long timeoutDuration_;
    std::optional<std::string> urlString_;
    std::optional<std::string> contentType_;
    // The library's own: the part that made the object, which answers for it.
    std::weak_ptr<detail::LogicLayer> maker_;
};

// Accepts -1, 0 and 1 only.
VELQUOR_EXPORT std::optional<NotificationObject::NotificationType>
notificationTypeFromRawValue(long rawValue);

// Platform-neutral description of the notification category the host registers.
struct NotificationAction {
    std::string identifier;
    std::string title;
    unsigned options = 0;
};

struct NotificationCategory {
    std::string identifier;
    std::vector<NotificationAction> actions;
};

// The host application's own bundle facts.
struct HostApplication {
    std::string bundleIdentifier;
    std::string displayName;
    std::string name;
    std::string shortVersion;
    std::string buildVersion;
};

// Everything a deployment may set before the library starts. Empty fields and null pointers
// mean "the default": the base addresses built into the library, the key store and the
// application directory under the user's data directory per host bundle identifier, the
// system trust store and the Linux platform services.
struct Configuration {
    std::string northAmericaBaseURL;
    std::string europeBaseURL;
    std::string asiaPacificBaseURL;
    std::filesystem::path keyStoreDirectory;
    std::filesystem::path applicationDirectory;
    std::filesystem::path trustedCertificates;
    HostApplication hostApplication;
    std::shared_ptr<PlatformServices> platform;
};

// The host-facing operations. Handlers may be empty (the outcome is then only logged). A handler
// that throws is caught on the library's thread, logged at ERROR and ignored.
class VELQUOR_EXPORT Velquor {
public:
    Velquor() = delete;

    using PairingHandler = std::function<void(std::optional<PairingObject>, std::optional<Error>)>;
    using NotificationHandler = std::function<void(std::optional<NotificationObject>, std::optional<Error>)>;
    using InfoHandler = std::function<void(std::optional<Json>, std::optional<Error>)>;
    using SupportIdHandler = std::function<void(std::optional<std::string>, std::optional<Error>)>;

    // Host integration. configure() is accepted only before the first operation that needs the
    // platform layer; afterwards it returns false and changes nothing.
    static bool configure(Configuration configuration);
    // Forward the platform's will-enter-foreground event.
    static void applicationWillEnterForeground();

    static void pair(const std::string& pairingKey, ErrorHandler completionHandler);
    // Synchronous: the handler runs on the caller's thread before the call returns.
    static void processIdToken(const std::string& idToken, PairingHandler completionHandler);
    static void setDeviceToken(const std::vector<std::uint8_t>& deviceToken, APNSDeviceTokenType type,
                               ErrorHandler completionHandler);
    // Synchronous; throws Error.
    static std::string generateMobilePayload();
    // The one category "auth" with the actions "Authenticate" and "Deny". Their titles are the
    // host's translations of "notification.confirm" and "notification.deny", read from
    // Localizable.json (a JSON object of key to text) in the application directory; without one
    // the keys themselves are shown.
    static std::vector<NotificationCategory> getUNNotificationCategories();
    // Hand every received push payload over. The service's authentication request yields a
    // NotificationObject; its other notifications yield neither object nor error; anything else
    // gives notificationNotFromService. Only the "Velquor" member is read, and the payload is
    // logged only when it nests no deeper than the library's JSON nesting limit (64), so the
    // dictionary may be of any depth.
    //
    // Notifications are not authenticated, so an answer is sent only to an https address (no
    // user information) whose host and port are those of one of the configured base addresses;
    // any other answer address fails with internalFailure (internal code 7) and nothing is sent.
    static void processRemoteNotification(const Json& userInfo, NotificationHandler completionHandler);
    // The banner's actions: "Authenticate" approves and "Deny" denies at once (the handler gets
    // no object); any other identifier hands the object back and sends nothing.
    static void processRemoteNotificationAction(const std::string& identifier,
                                                std::optional<std::string> authenticationMethod,
                                                const Json& userInfo, NotificationHandler completionHandler);
    static void processRemoteNotificationAction(const std::string& identifier, const Json& userInfo,
                                                NotificationHandler completionHandler);
    static void getInfo(InfoHandler completionHandler);
    static void removeVelquorLocalData();
    static void setDevicePairedAfterReinstall(bool paired);
    // On an unpaired device the handler runs on the caller's thread before the call returns.
    static void sendLogs(SupportIdHandler completionHandler);
};

} // namespace velquor
