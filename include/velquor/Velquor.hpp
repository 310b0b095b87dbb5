// Velquor: the host application's whole interface to multi-factor authentication.
//
// Every operation is a static member of `velquor::Velquor`. Every failure is one `velquor::Error`;
// what each code means, how to react and whether to retry is in docs/ERRORS.md. The library
// never retries on its own; whether to call again is the host's decision.
//
// Call order
//  1. `configure` (optional), before any other call.
//  2. `getUNNotificationCategories`: register the banner's buttons with the platform.
//  3. `setDeviceToken` with the platform's push token, in every run of the process. Pair only
//     once its handler has run: operations run concurrently, and pairing needs this run's token.
//  4. Pair once: `pair` with a pairing key, or `processIdToken` and then `PairingObject::approve`.
//  5. Hand every push payload to `processRemoteNotification` (a banner button's to
//     `processRemoteNotificationAction`) and answer through the `NotificationObject`.
//  6. Once paired, as needed: `getInfo`, `generateMobilePayload`, `sendLogs`. Forward each
//     foreground event with `applicationWillEnterForeground`.
//
// Threads
//  An asynchronous operation returns at once and calls its handler exactly once, later, on a
//  library thread: a pool thread of the library's global queue when the answer needs no exchange
//  with the service (a local refusal, a notification read), else the transport's network thread.
//  Never the host's main thread: move to your UI thread yourself. Answered on the caller's thread
//  before the call returns instead: `processIdToken` always, `sendLogs` on an unpaired device,
//  and any of them when the library cannot start at all (10000, internal code 254).
//  A handler may call any operation (asynchronous ones only queue their work) but must not block
//  waiting for another operation's answer: on the network thread that deadlocks. A handler may be
//  empty (the outcome is then only logged); one that throws is caught, logged and ignored.
//  Every operation may be called from any thread, concurrently.
//
// First use
//  The first call of any operation but `configure` and `processIdToken` fixes the configuration.
//  All but `generateMobilePayload` and `applicationWillEnterForeground` also start the library,
//  on the caller's thread: the version line on the console, key-store and settings reads, the
//  first log line (and the log's key). The device's RSA-2048 key pair, the costliest step, is
//  generated once, by the first `generateMobilePayload` (on the caller's thread) or the first
//  pairing (on a library thread), whichever comes first; later calls reuse it.
//
// ```cpp
// std::vector<std::uint8_t> pushToken{0x00, 0xab, 0x10}; // the platform's token bytes
// velquor::Velquor::setDeviceToken(
//     pushToken, velquor::APNSDeviceTokenType::production, [](std::optional<velquor::Error> failed) {
//         if (failed)
//             return;
//         velquor::Velquor::pair("01ABCDEF", [](std::optional<velquor::Error> error) {
//             // A library thread: hand the outcome over to the UI thread.
//             if (error)
//                 std::fprintf(stderr, "pairing failed: %d %s\n", error->code(), error->what());
//         });
//     });
// ```
#pragma once

#include <velquor/Export.hpp>
#include <velquor/Platform.hpp>
#include <velquor/Version.hpp>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// The version of the library linked in, as plain C data (readable without calling anything);
// <velquor/Version.hpp> has the same values for the headers compiled against.
extern "C" {
// "@(#)PROGRAM:Velquor  PROJECT:Velquor-<build number>\n", NUL-terminated (VELQUOR_VERSION_STRING).
VELQUOR_EXPORT extern const char VelquorVersionString[];
// The library's build number (92.0 in a default build; VELQUOR_VERSION_NUMBER).
VELQUOR_EXPORT extern const double VelquorVersionNumber;
}

namespace velquor {

using Json = nlohmann::json;

namespace detail {
class ErrorBuilder;
class LogicLayer;
class LogicLayerAccess;
} // namespace detail

// The public error codes, the values of `Error::code()`; docs/ERRORS.md has each one's causes,
// reaction and retry advice. Append-only: a code, once published, keeps its raw value.
enum class ErrorCode : int {
    internalFailure = 10000,            // a step of the library's own failed (keys, local state, a reply)
    deviceTokenMissing = 10001,         // pairing before `setDeviceToken` in this run of the process
    notificationNotFromService = 10002, // the payload is not one of the service's notifications
    serverError = 10003,                // no reply, an unusable one, or the service refused the request
    networkError = 10004,               // a transfer failed and the device has no network route
    pairingKeyError = 10005,            // the service refused the pairing key; an unreadable identity token
    bundleIdError = 10006,              // the service does not know the host's bundle identifier
    pairedInOtherRegion = 10007,        // paired in another region than the pairing key's; nothing sent
    deviceNotPaired = 10008,            // the operation needs a paired device
    pushConfirmationTimedOut = 10009,   // the answer came after the service stopped waiting for it
};

// The ErrorCode of a raw value; nothing outside 10000...10009.
VELQUOR_EXPORT std::optional<ErrorCode> errorCodeFromRawValue(long rawValue);

// The one error value every failure reaches the host as: handed to a completion handler, or
// thrown by `Velquor::generateMobilePayload` only. Immutable; safe to copy across threads.
//   domain()                "VelquorErrorDomain"
//   code()                  the raw value of an ErrorCode: switch on this
//   localizedDescription()  the code's fixed English message (also what()); not for end users as is
//   userInfo()              {"internalErrorCode": 20000 + the internal code of the check that failed,
//                            "type": "sdk" | "server" | "os", "internalError": the service's error
//                            object ("server") or the transport's error ("os"),
//                            "NSLocalizedDescription": the message}
// Put userInfo() into support reports, but do not branch on "internalErrorCode": internal codes
// are added with releases. Every error is also logged at ERROR where it is made.
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

// The push environment a device token belongs to: `sandbox` for the platform's development
// push service, `production` otherwise. It travels with the device data of every request, so the
// service pushes through the matching environment.
enum class APNSDeviceTokenType : long { production = 0, sandbox = 1 };

// Accepts 0 and 1 only.
VELQUOR_EXPORT std::optional<APNSDeviceTokenType> apnsDeviceTokenTypeFromRawValue(long rawValue);

// The answer of an operation without a result: no error is success.
using ErrorHandler = std::function<void(std::optional<Error>)>;

// A pairing offered by an identity token, waiting for the host's approval; only
// `Velquor::processIdToken` makes one. A copyable value that stays usable for the life of the
// process; it holds nothing but the pairing key.
class VELQUOR_EXPORT PairingObject {
public:
    // The key the identity token carried; its first two characters choose the region.
    const std::string& pairingKey() const noexcept { return pairingKey_; }

    // Exactly `Velquor::pair(pairingKey(), completionHandler)`: the same precondition (this run's
    // push token), outcomes, errors and threads. Starts the library if nothing has yet. Every
    // call sends its own pairing request.
    void approve(ErrorHandler completionHandler) const;

private:
    friend class detail::LogicLayerAccess;
    PairingObject(std::string pairingKey, std::weak_ptr<detail::LogicLayer> maker);

    std::string pairingKey_;
    // The library's own: the part that made the object, which answers for it.
    std::weak_ptr<detail::LogicLayer> maker_;
};

// An authentication request of the service, waiting for the user's answer; only
// `Velquor::processRemoteNotification` and `Velquor::processRemoteNotificationAction` make one.
// A copyable, immutable value; the library keeps nothing of it and runs no timer.
class VELQUOR_EXPORT NotificationObject {
public:
    // What a payload was read as: the service's authentication request, another notification of
    // the service, or none of its own. An object the library hands out is always `authentication`.
    enum class NotificationType : int { unrecognized = -1, other = 0, authentication = 1 };

    NotificationType notificationType() const noexcept { return notificationType_; }
    // The service's answer deadline in seconds, from the notification (45 when it names none).
    // For display only: an answer after it fails with 10009 (pushConfirmationTimedOut).
    long timeoutDuration() const noexcept { return timeoutDuration_; }

    // Send the user's answer to the address the notification names.
    // `authenticationMethod`, when given, goes to the service as it is (its "method"). No error
    // is success. Errors: 10000 with internal code 7 when the notification has no answer address
    // or names one that is not the service's (see `Velquor::processRemoteNotification`; nothing
    // is sent); 10009 when the service no longer waits; otherwise those of any exchange
    // (docs/ERRORS.md). The handler runs on the network thread, or on a pool thread when nothing
    // was sent. Every call sends its own answer; the service decides which one counts.
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

// A platform-neutral description of the notification category the host registers with its
// platform, so that the service's notifications show the two buttons.
struct NotificationAction {
    std::string identifier; // "Authenticate", "Deny": pass it to processRemoteNotificationAction
    std::string title;      // the host's translation, shown on the button
    unsigned options = 0;   // 1: the user must unlock the device first; 2: destructive (shown in red)
};

struct NotificationCategory {
    std::string identifier; // "auth"
    std::vector<NotificationAction> actions;
};

// The host application's own facts, answered by the built-in `BundleInfo` (unused when
// `PlatformServices::bundle` is set, except `bundleIdentifier` for the default directories). An
// empty field is "not known".
struct HostApplication {
    // The identity the service knows the host by ("bundleId" in the device data): a value the
    // service's tenant does not know makes pairing fail with 10006. Also names the default
    // directories; empty: the executable's name and a hash of its path do.
    std::string bundleIdentifier;
    // The application's name in the device data: displayName, or name when that is empty.
    std::string displayName;
    std::string name;
    // "<shortVersion>(<buildVersion>)" is the application version in the device data and the log
    // (empty unless both are set).
    std::string shortVersion;
    std::string buildVersion;
};

// Everything a deployment may set, once, before the library starts (`Velquor::configure`). Every
// field is read when the configuration is fixed, by the first operation; an empty field or a null
// pointer means the default.
struct Configuration {
    // The regional service addresses: each an absolute https address with a host, an optional
    // port and a path ending in "/", without user information, query or fragment
    // ("https://api.eu.example/"). Default: the ones built in (CMake VELQUOR_NA_BASE_URL,
    // VELQUOR_EU_BASE_URL, VELQUOR_AU_BASE_URL). A pairing key starting "02" pairs in Europe,
    // "03" in Asia-Pacific, any other in North America; later requests go to the region paired
    // in. A notification's answer goes only to the host and port of one of these three.
    std::string northAmericaBaseURL;
    std::string europeBaseURL;
    std::string asiaPacificBaseURL;
    // The built-in key store's directory: one 0600 file per item in a directory of mode 0700
    // owned by the user (made so when missing; any other directory is refused and every operation
    // that needs the key store fails). Default: $XDG_DATA_HOME/velquor/keystore/<bundle
    // identifier> ($XDG_DATA_HOME: ~/.local/share when unset). Keep it outside
    // `applicationDirectory`: it must survive a reinstall. Unused when `platform->keyStore` is set.
    std::filesystem::path keyStoreDirectory;
    // The application's own data: the settings suite (removed with the application, which is how
    // a reinstall is told apart), the log ("Documents/velquorv2.log" and ".old"), and
    // "Localizable.json" (the button titles). Default: $XDG_DATA_HOME/velquor/applications/
    // <bundle identifier>. With no home directory and a directory left empty, the key store and
    // settings are unavailable and every operation that needs them fails.
    std::filesystem::path applicationDirectory;
    // A PEM file of the only certificate authorities the built-in transport trusts, read when it
    // connects. Default: the system trust store. Unused when `platform->http` is set.
    std::filesystem::path trustedCertificates;
    HostApplication hostApplication;
    // The host's own platform services (<velquor/Platform.hpp>), copied when the configuration is
    // fixed; null, or a null member: the Linux implementation.
    std::shared_ptr<PlatformServices> platform;
};

// The host-facing operations, all static. Call order, threads and first-use costs are at the top
// of this file; each operation below says what differs. An error code's causes and the right
// reaction are in docs/ERRORS.md.
class VELQUOR_EXPORT Velquor {
public:
    Velquor() = delete;

    // Each handler gets the object or the error, never both; the answers with neither are named
    // at their operation.
    using PairingHandler = std::function<void(std::optional<PairingObject>, std::optional<Error>)>;
    using NotificationHandler = std::function<void(std::optional<NotificationObject>, std::optional<Error>)>;
    using InfoHandler = std::function<void(std::optional<Json>, std::optional<Error>)>;
    using SupportIdHandler = std::function<void(std::optional<std::string>, std::optional<Error>)>;

    // --- set-up ------------------------------------------------------------------------------

    // Sets the configuration the library will start with (`Configuration`). Caller's thread;
    // thread-safe. A second call before the first operation replaces the whole configuration.
    // True: taken. False, changing nothing: an operation other than `processIdToken` has already
    // fixed the configuration, or a base address breaks the rule (the log says why). False but
    // taken: a directory left empty has no default (no home directory; see `Configuration`).
    static bool configure(Configuration configuration);
    // Forward the platform's will-enter-foreground event. Caller's thread; returns at once; never
    // starts the library. Once it has started: the permission facts are refreshed and, 1 s later
    // on the library's main queue, the device record when paired (its outcome is only logged, and
    // a record that asks for the logs starts an upload, as `getInfo` does).
    static void applicationWillEnterForeground();

    // Pairing needs the push token of this run of the process: call this with the platform's token
    // (its bytes; kept in memory as lower-case hexadecimal, logged masked) at every start and
    // whenever it changes, and pair only once the handler has run. `type` is the push
    // environment, reported with the device data. Unpaired, or paired with this token already
    // registered: nothing is sent; no error, on a pool thread. Paired with a new token: the service
    // is told and the token stored once it has it; the handler runs on the network thread. Errors:
    // 10000 with internal code 6 (paired, but no application id stored), and those of an exchange.
    static void setDeviceToken(const std::vector<std::uint8_t>& deviceToken, APNSDeviceTokenType type,
                               ErrorHandler completionHandler);

    // --- pairing -----------------------------------------------------------------------------

    // Pairs this device with the account of the pairing key (given to the user by the service).
    // Needs `setDeviceToken` first, in this run. The key's first two characters choose the region
    // ("02" Europe, "03" Asia-Pacific, anything else North America); a device paired in one
    // region pairs again only in that one until `removeVelquorLocalData`. Generates the device
    // key pair (on a pool thread) if none exists yet.
    // No error: paired. The key store then holds the paired flag, the push token, the service's
    // ids for the device, the service's public key and the region.
    // Errors with nothing sent, on a pool thread: 10007 (other region), 10001 (no push token),
    // 10000 (the key store cannot give the device key, or the request cannot be built). After the
    // exchange, on the network thread: 10005 (key refused), 10006 (bundle identifier unknown),
    // 10003, 10004, 10000.
    // The device counts as paired as soon as the service has accepted the key, even when the rest
    // of the reply or the confirmation request then fails; pairing again repairs that.
    // Security: the pairing request is unsigned, and its reply is verified with the service key it
    // carries, so a first pairing is as trustworthy as the TLS connection (system trust store or
    // `Configuration::trustedCertificates`); every later reply must carry the stored key's
    // signature. The pairing key is written to the log.
    static void pair(const std::string& pairingKey, ErrorHandler completionHandler);
    // Reads the pairing an identity token (a compact JWT from the host's sign-in) offers.
    // Synchronous: the handler runs on the caller's thread before the call returns. Nothing is sent
    // or stored; it neither starts the library nor fixes the configuration. Outcomes:
    //  - a PairingObject: its "vq.enrollment" claim says "SUCCESS" with a pairing key; approve the
    //    object (after `setDeviceToken`) to pair;
    //  - neither object nor error: the token has no "vq.enrollment" object; it offers no pairing;
    //  - an error: 10005 (internal code 18) not a compact JWT; 10003, or 10005, 10006, 10009 as the
    //    service's error object says, when the enrollment carries one; 10000 when the enrollment
    //    cannot be read or holds neither key nor error.
    // Security: the token's signature is not checked. Take tokens only from a source you trust, or
    // verify them yourself first. The token's claims are logged.
    static void processIdToken(const std::string& idToken, PairingHandler completionHandler);

    // --- notifications -----------------------------------------------------------------------

    // Hand over every push payload received (the platform's user-info dictionary as JSON). Only
    // its "Velquor" member is read; a payload of any depth is accepted, and logged when it nests no
    // deeper than 64 levels. Needs no pairing; sends nothing. The handler runs on a pool thread:
    //  - a NotificationObject: the service's authentication request; show it, answer through it;
    //  - neither object nor error: another notification of the service; nothing to do;
    //  - 10002 (notificationNotFromService): not the service's; handle it yourself.
    // Notifications are not authenticated, so an answer is sent only to an https address (no
    // user information) whose host and port are those of one of the configured base addresses;
    // any other answer address fails with internalFailure (internal code 7) and nothing is sent.
    static void processRemoteNotification(const Json& userInfo, NotificationHandler completionHandler);
    // A banner button: `identifier` is the action's. "Authenticate" approves (with
    // `authenticationMethod`, as `NotificationObject::approve`) and "Deny" denies at once, with the
    // errors and threads of the object's methods; the handler gets no object. Any other identifier
    // (the banner itself was tapped) hands the object back, as processRemoteNotification does, and
    // sends nothing. A payload that is no authentication request answers as there.
    static void processRemoteNotificationAction(const std::string& identifier,
                                                std::optional<std::string> authenticationMethod,
                                                const Json& userInfo, NotificationHandler completionHandler);
    // The same without an authentication method.
    static void processRemoteNotificationAction(const std::string& identifier, const Json& userInfo,
                                                NotificationHandler completionHandler);
    // The one category "auth" with the buttons "Authenticate" (option 1) and "Deny" (option 2), to
    // register with the platform before the first notification. Caller's thread; starts the
    // library; never fails. The titles are the host's translations of "notification.confirm" and
    // "notification.deny" (`BundleInfo::localizedString`; the built-in one reads a JSON object of
    // key to text from "Localizable.json" in the application directory at each call); without a
    // translation, the key itself.
    static std::vector<NotificationCategory> getUNNotificationCategories();

    // --- the paired device -------------------------------------------------------------------

    // Fetches this device's record from the service: the handler gets the reply's "public" object
    // as the service wrote it, on the network thread. Errors: 10008 when unpaired (nothing sent;
    // pool thread); 10000 when the reply is no device record; those of an exchange. A record that
    // says the service wants the logs also starts an upload, as `sendLogs` would, unanswered.
    static void getInfo(InfoHandler completionHandler);
    // A compact JWT describing this device (the device data: model, system, locale, permission
    // facts, network type, application) for the host to forward to its own server. Synchronous, on
    // the caller's thread; fixes the configuration but does not start the library; the first call
    // generates the device key pair. Throws `Error` 10000 (internal codes 17, 19, 22, 25, 254: no
    // device key, no device data, no token) and nothing else.
    // Security: signed RS256 with the device key, "kid" the service's id of the device, only once
    // the device is paired. Before that the token is unsigned ("alg" "none", empty signature): a
    // server must not trust it.
    static std::string generateMobilePayload();
    // Uploads the diagnostic log for support; the handler gets the support id (up to nine decimal
    // digits) to quote to the support team. Unpaired: 10008 on the caller's thread before the call
    // returns; nothing is read or sent. Otherwise the handler runs on the network thread, or on a
    // pool thread when nothing was sent (the log could not be packed: 10000). Errors: those of an
    // exchange (docs/ERRORS.md, internal codes 34 to 48). Once the service has filed it, the lines
    // uploaded are removed from the device; after a failure the log stays as it was.
    // What goes: the decrypted log, zipped, over HTTPS to the region paired in. It holds the
    // library's INFO, WARNING and ERROR lines, each with the time, the device fingerprint, the
    // service's device and application ids, versions, bundle identifier, system and model; their
    // messages include pairing keys, identity-token claims, notification payloads, request
    // parameters (device data, push token, device public key), reply claims and every error; never
    // a private key or a signed token. On the device the log is AES-256 encrypted with a key kept
    // in the key store, in "Documents" under the application directory, up to about 2 MB.
    static void sendLogs(SupportIdHandler completionHandler);

    // --- local data --------------------------------------------------------------------------

    // Forgets the pairing on this device: removes from the key store the device key pair, the
    // service key, the paired flag, the stored push token, the service's ids, the region and the
    // log's key (so earlier log lines can no longer be read or uploaded). Keeps the device
    // fingerprint and the setDevicePairedAfterReinstall choice; leaves the settings suite and the
    // log files; tells the service nothing. Caller's thread; starts the library; never fails.
    static void removeVelquorLocalData();
    // Whether a pairing survives the host application's reinstallation (which removes its settings
    // but not the key store). true: kept; false (the default): the first start after a reinstall
    // removes the local data, as removeVelquorLocalData does. Stored in the key store and read at
    // start-up. Caller's thread; starts the library; never fails.
    static void setDevicePairedAfterReinstall(bool paired);
};

} // namespace velquor
