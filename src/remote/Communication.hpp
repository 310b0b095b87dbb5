// Sends one request to the service and turns its reply into the verified claims of the reply
// token, or into one error value.
//
//   Communication comm({.http = http, .keyStore = store, .dataManager = data, .console = console,
//                       .reachabilityFlags = flags, .queues = queues, .notificationCenter = center});
//   comm.post(RequestBuilder(bundle).deviceInfoRequest(base), [](auto claims, auto error) { ... });
//
// The request is an HTTPS POST of the request token ("content-type" and "Accept"
// "application/jwt", a 60-second inactivity limit). The reply must be a token signed by the
// service: with the stored service key, or, while the device is not paired and no key is stored,
// with the key the reply itself carries. A paired device never trusts a key a reply brings.
//
// Thread-safe and cheap to copy; replies in flight keep the collaborators alive, so the object may
// be dropped at once. The handler runs exactly once: on the caller's thread before post() returns
// when the request cannot be prepared, otherwise on the transport's network thread (a handler
// that blocks holds up every transfer). Nothing is retried.
#pragma once

#include "device/DataManager.hpp"
#include "jwt/JSONWebToken.hpp"
#include "remote/Substance.hpp"
#include "util/Result.hpp"

#include <velquor/DeviceFacts.hpp>
#include <velquor/Platform.hpp>
#include <velquor/Velquor.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velquor::detail {

class Communication {
public:
    // Exactly one argument is present.
    using Handler = std::function<void(std::optional<Json> claims, std::optional<Error> error)>;
    // The answer to a log upload; exactly one argument is present.
    using SupportIdHandler =
        std::function<void(std::optional<std::string> supportId, std::optional<Error> error)>;
    // Starts a new log once an upload has fully succeeded; runs on the network thread.
    using LogRestart = std::function<void()>;

    struct Collaborators {
        // Null: every request fails as a transfer would (10003/15), before post() returns.
        std::shared_ptr<HttpTransport> http;
        // The device key pair, "isPaired", "mobileDeviceID" and the service key.
        std::shared_ptr<KeyStore> keyStore;
        // The request claim set.
        std::shared_ptr<DataManager> dataManager;
        // Where the two "Successful dictionary ..." lines go; null: nowhere.
        std::shared_ptr<Console> console;
        // Asked once per failed transfer whether the network is down; null: never down.
        std::shared_ptr<ReachabilityFlagSource> reachabilityFlags;
        std::shared_ptr<DispatchQueues> queues;
        std::shared_ptr<NotificationCenter> notificationCenter;
    };

    explicit Communication(Collaborators collaborators);

    // Failures, each logged at ERROR where it is built:
    //   before sending (on the caller's thread): the address does not parse 10000/9; no request
    //     claim set 10000/10, no private key 10000/20, token building failed 10000/21;
    //   transport error 10003/15 (the transport's error underneath), 10004/16 when the network is
    //     also unreachable; body not UTF-8 10003/12; body not a token 10000/13 (an empty body
    //     included); no service key 10000/24, unusable service key 10000/23; signature not the
    //     service's 10000/11; and the failures of checkHttpStatus.
    void post(Substance substance, Handler handler) const;

    // Uploads the archive in `substance.logData` (RequestBuilder::logsRequest) as the one
    // "log-file" part of a multipart form, with the signed upload token in the
    // "Marvis-Mobile-Logs" header only. On a verified reply with status 200 or 201 naming a text
    // "supportId": `restartLog` runs, "Last support id: ID. Starting new log." is logged, then
    // the handler gets that id. Either may be empty. The handler runs exactly once, on the same
    // threads as post()'s. Failures, each logged at ERROR where it is built:
    //   before sending: the address does not parse 10000/44; no payload claim set 10000/45, no
    //     private key 10000/43, token building failed 10000/42; no archive 10000/41;
    //   transport error 10003/35 (the transport's error underneath), 10004/46 when the network
    //     is also unreachable; body not UTF-8 10003/40; body not a token 10000/39 (an empty body
    //     included); no usable service key 10000/24 or 23 (serviceKey); signature not the
    //     service's 10000/38, checked before the status; no HTTP response (status 0) 10003/37;
    //     status other than 200 and 201 10003/36 with the reply's claims as the service error
    //     object; no text "supportId" 10003/34. After any failure the log is left as it is.
    void sendLogs(Substance substance, LogRestart restartLog, SupportIdHandler handler) const;

    // Nothing for status 200 and 201. No HTTP response (absent, or status 0): 10003/33. Any other
    // status: 10003/14 with the reply token's claims as the service error object when the body
    // is one (so 10005, 10006 or 10009 after refinement), else without one.
    std::optional<Error> checkHttpStatus(const Substance& substance, const std::vector<std::uint8_t>& data,
                                         const std::optional<HttpReply>& response) const;

    // The key a reply carries in its text claim "serverPublicKey" (Base64, with or without the
    // SubjectPublicKeyInfo header). Missing or not text: 10000/24; not a key of at least 2048
    // bits: 10000/23. Never stored here.
    Result<std::shared_ptr<const KeyRef>, Error> getPublicServerKey(const JSONWebToken& jwtResponse) const;

    // The key a reply must verify with: the stored service key; with none stored, 10000/24 on a
    // paired device, else the reply's own (getPublicServerKey). Shared with the log upload;
    // `operation` names the caller in the log.
    Result<std::shared_ptr<const KeyRef>, Error> serviceKey(const JSONWebToken& jwtResponse,
                                                            const char* operation) const;

private:
    struct Shared;
    // One request kind's internal codes for the reply steps post() and sendLogs() share.
    struct ReplyCodes {
        const char* operation;
        std::uint8_t transfer, offline, notText, notToken, notVerified;
    };
    // The reply's token: the transfer succeeded, the body is UTF-8 text and a token.
    Result<JSONWebToken, Error> replyToken(const std::optional<HttpReply>& reply,
                                           const std::optional<HttpError>& transportError,
                                           const ReplyCodes& codes) const;
    // Nothing when the service key verifies the reply's signature.
    std::optional<Error> verifyReply(const JSONWebToken& token, const ReplyCodes& codes) const;
    // Runs on the network thread when the transfer has ended.
    void handleReply(const Substance& substance, std::optional<HttpReply> reply,
                     std::optional<HttpError> error, const Handler& handler) const;
    void handleLogsReply(const Substance& substance, std::optional<HttpReply> reply,
                         std::optional<HttpError> error, const LogRestart& restartLog,
                         const SupportIdHandler& handler) const;
    // The transport's failure as 10003/`transferCode`, replaced by 10004/`offlineCode` when the
    // network is unreachable; both logged.
    Error transferFailure(const std::optional<HttpError>& error, std::uint8_t transferCode,
                          std::uint8_t offlineCode, const char* operation) const;
    bool networkUnreachable() const;

    std::shared_ptr<const Shared> shared_;
};

} // namespace velquor::detail
