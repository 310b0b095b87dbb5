#include "remote/Communication.hpp"

#include "device/Reachability.hpp"
#include "jwt/RSAPKCS1Verifier.hpp"
#include "log/Log.hpp"
#include "platform/KeyStoreOperation.hpp"
#include "remote/ErrorBuilder.hpp"
#include "remote/RequestToken.hpp"
#include "state/Keychain.hpp"
#include "util/CurlPtr.hpp"
#include "util/Utf8.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace velquor::detail {

namespace {

constexpr const char* kUnit = "Core/Communication";
constexpr const char* kPost = "post(substance:completionHandler:)";
constexpr const char* kCheckHttpStatus = "checkHttpStatus(substance:data:response:)";
constexpr const char* kGetPublicServerKey = "getPublicServerKey(jwtResponse:)";
constexpr const char* kSendLogs = "sendLogs(substance:completionHandler:)";

constexpr const char* kBoundary = "7MA4YWxkTrZu0gW";

Error fail(ErrorCode code, std::uint8_t internalCode, const char* operation,
           const std::optional<Json>& serverError = std::nullopt,
           const std::optional<PlatformError>& underlying = std::nullopt) {
    Error error = ErrorBuilder::build(code, internalCode, serverError, underlying);
    log(error, LogLevel::error, kUnit, __LINE__, operation);
    return error;
}

// Calls the caller's handler; what it throws stays with it, never reaching the network thread.
template <typename Value, typename Handler>
void answer(const Handler& handler, std::optional<Value> value, std::optional<Error> error,
            const char* operation = kPost) {
    if (!handler)
        return;
    try {
        handler(std::move(value), std::move(error));
    } catch (const std::exception& exception) {
        VQ_LOG(LogLevel::error, kUnit, operation,
               std::string("Completion handler threw: ") + exception.what());
    } catch (...) {
        VQ_LOG(LogLevel::error, kUnit, operation, "Completion handler threw a non-standard exception");
    }
}

// Runs a reply procedure with a handler that answers at most once; should the procedure throw
// (memory), the caller still gets an answer, once: `fallback`.
template <typename Value, typename Handler, typename Procedure>
void answerOnce(const Handler& handler, const char* operation, const Procedure& procedure,
                const std::function<Error()>& fallback) {
    auto answered = std::make_shared<std::atomic<bool>>(false);
    const Handler once = [answered, &handler, operation](std::optional<Value> value,
                                                         std::optional<Error> failure) {
        if (!answered->exchange(true))
            answer(handler, std::move(value), std::move(failure), operation);
    };
    try {
        procedure(once);
    } catch (const std::exception& exception) {
        VQ_LOG(LogLevel::error, kUnit, operation, std::string("Reply handling failed: ") + exception.what());
        if (!answered->load())
            once(std::nullopt, fallback());
    }
}

bool parsesAsURL(const std::string& text) {
    CURLU_ptr url(curl_url());
    return url && curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_PATH_AS_IS) == CURLUE_OK;
}

std::string_view textOf(const std::vector<std::uint8_t>& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string compactJSON(const Json& claims) {
    return claims.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

struct Communication::Shared {
    Collaborators collaborators;
    Keychain keychain;
    RequestToken requestToken;
};

Communication::Communication(Collaborators collaborators)
    : shared_(std::make_shared<const Shared>(
          Shared{collaborators, Keychain(collaborators.keyStore),
                 RequestToken(collaborators.dataManager, collaborators.keyStore)})) {}

void Communication::post(Substance substance, Handler handler) const {
    if (!parsesAsURL(substance.urlString))
        return answer<Json>(handler, std::nullopt, fail(ErrorCode::internalFailure, 9, kPost));

    HttpRequest request;
    request.method = "POST";
    request.url = substance.urlString;
    request.headers = {{"content-type", "application/jwt"}, {"Accept", "application/jwt"}};
    request.timeout = std::chrono::seconds(60);

    auto token = shared_->requestToken.makeRequestToken(substance); // logs its own failures
    if (!token)
        return answer<Json>(handler, std::nullopt, token.error());
    request.body.assign(token.value().begin(), token.value().end());
    if (!shared_->collaborators.http) // nothing to send with: reported as a failed transfer
        return answer<Json>(handler, std::nullopt, fail(ErrorCode::serverError, 15, kPost));

    shared_->collaborators.http->send(
        std::move(request), [self = *this, substance = std::move(substance), handler = std::move(handler)](
                                std::optional<HttpReply> reply, std::optional<HttpError> error) {
            answerOnce<Json>(
                handler, kPost,
                [&](const Handler& once) {
                    std::optional<std::pair<std::optional<Json>, std::optional<Error>>> outcome;
                    {
                        // The reply's checks read the key store's directory once; the caller's
                        // handler runs after, outside the operation.
                        const KeyStoreOperation operation;
                        self.handleReply(
                            substance, std::move(reply), std::move(error),
                            [&outcome](std::optional<Json> claims, std::optional<Error> failure) {
                                outcome.emplace(std::move(claims), std::move(failure));
                            });
                    }
                    // Every path of the reply handling answers; should one not, the fallback
                    // below does, so the caller is never left waiting.
                    if (!outcome)
                        throw std::logic_error("the reply was handled without an answer");
                    once(std::move(outcome->first), std::move(outcome->second));
                },
                [] { return fail(ErrorCode::serverError, 15, kPost); });
        });
}

void Communication::handleReply(const Substance& substance, std::optional<HttpReply> reply,
                                std::optional<HttpError> transportError, const Handler& handler) const {
    static constexpr ReplyCodes codes{kPost, 15, 16, 12, 13, 11};
    auto token = replyToken(reply, transportError, codes);
    if (!token)
        return handler(std::nullopt, token.error());
    const Json& claims = token->payload.jsonPayload;
    if (const auto& console = shared_->collaborators.console) {
        console->writeLine("Successful dictionary string Params=" + compactJSON(claims));
        console->writeLine("Successful dictionary pretty string Params=" +
                           claims.dump(2, ' ', false, Json::error_handler_t::replace));
    }

    // Before pairing a reply is answered by its status first, so an error reply signed with a
    // key the device cannot know yet still reports the service's error.
    if (!shared_->keychain.isPaired())
        if (auto error = checkHttpStatus(substance, reply->body, reply))
            return handler(std::nullopt, error);

    if (auto error = verifyReply(token.value(), codes))
        return handler(std::nullopt, error);

    if (auto error = checkHttpStatus(substance, reply->body, reply))
        return handler(std::nullopt, error);
    handler(claims, std::nullopt);
}

void Communication::sendLogs(Substance substance, LogRestart restartLog, SupportIdHandler handler) const {
    if (!parsesAsURL(substance.urlString))
        return answer<std::string>(handler, std::nullopt, fail(ErrorCode::internalFailure, 44, kSendLogs),
                                   kSendLogs);

    HttpRequest request;
    request.method = "POST";
    request.url = substance.urlString;
    request.timeout = std::chrono::seconds(60);

    auto token = shared_->requestToken.makeLogUploadToken(substance); // logs its own failures
    if (!token)
        return answer<std::string>(handler, std::nullopt, token.error(), kSendLogs);
    request.headers = {{"content-type", std::string("multipart/form-data;  boundary=") + kBoundary},
                       {"Marvis-Mobile-Logs", std::move(token).value()},
                       {"Accept", "application/jwt"}};

    if (!substance.logData)
        return answer<std::string>(handler, std::nullopt, fail(ErrorCode::internalFailure, 41, kSendLogs),
                                   kSendLogs);
    const std::string head =
        std::string("--") + kBoundary +
        "\r\nContent-Disposition: form-data; name=\"log-file\"; filename=\"velquorv2.zip\""
        "\r\nContent-Type: application/zip\r\n\r\n";
    const std::string tail = std::string("\r\n--") + kBoundary + "--\r\n";
    request.body.reserve(head.size() + substance.logData->size() + tail.size());
    request.body.insert(request.body.end(), head.begin(), head.end());
    request.body.insert(request.body.end(), substance.logData->begin(), substance.logData->end());
    request.body.insert(request.body.end(), tail.begin(), tail.end());
    substance.logData.reset(); // the body has its own copy for the whole transfer

    if (!shared_->collaborators.http) // nothing to send with: reported as a failed transfer
        return answer<std::string>(handler, std::nullopt, fail(ErrorCode::serverError, 35, kSendLogs),
                                   kSendLogs);

    shared_->collaborators.http->send(
        std::move(request),
        [self = *this, substance = std::move(substance), restartLog = std::move(restartLog),
         handler = std::move(handler)](std::optional<HttpReply> reply, std::optional<HttpError> error) {
            answerOnce<std::string>(
                handler, kSendLogs,
                [&](const SupportIdHandler& once) {
                    self.handleLogsReply(substance, std::move(reply), std::move(error), restartLog, once);
                },
                [] { return fail(ErrorCode::serverError, 35, kSendLogs); });
        });
}

// The steps of post()'s reply procedure in the upload's own order: the signature before the
// status, whether or not the device is paired (uploads only ever start on a paired device).
void Communication::handleLogsReply(const Substance& substance, std::optional<HttpReply> reply,
                                    std::optional<HttpError> transportError, const LogRestart& restartLog,
                                    const SupportIdHandler& handler) const {
    static constexpr ReplyCodes codes{kSendLogs, 35, 46, 40, 39, 38};
    auto token = replyToken(reply, transportError, codes);
    if (!token)
        return handler(std::nullopt, token.error());
    const Json& claims = token->payload.jsonPayload;
    if (auto error = verifyReply(token.value(), codes))
        return handler(std::nullopt, error);

    if (reply->status == 0)
        return handler(std::nullopt, fail(ErrorCode::serverError, 37, kSendLogs));
    for (const auto& [name, value] : reply->headers)
        if (name == "correlation-id") {
            VQ_LOG(LogLevel::info, kUnit, kSendLogs, substance.name + " response correlation-id=" + value);
            break;
        }
    if (reply->status != 200 && reply->status != 201) {
        VQ_LOG(LogLevel::error, kUnit, kSendLogs, "Bad status code=" + std::to_string(reply->status));
        VQ_LOG(LogLevel::debug, kUnit, kSendLogs, "Error raw response=" + std::string(textOf(reply->body)));
        return handler(std::nullopt, fail(ErrorCode::serverError, 36, kSendLogs, claims));
    }
    VQ_LOG(LogLevel::info, kUnit, kSendLogs, "Successful status code=" + std::to_string(reply->status));

    const auto supportId = claims.find("supportId");
    if (supportId == claims.end() || !supportId->is_string())
        return handler(std::nullopt, fail(ErrorCode::serverError, 34, kSendLogs));
    const std::string id = supportId->get<std::string>();
    if (restartLog)
        restartLog();
    VQ_LOG(LogLevel::info, kUnit, kSendLogs, "Last support id: " + id + ". Starting new log.");
    handler(id, std::nullopt);
}

Result<JSONWebToken, Error> Communication::replyToken(const std::optional<HttpReply>& reply,
                                                      const std::optional<HttpError>& transportError,
                                                      const ReplyCodes& codes) const {
    if (transportError || !reply)
        return transferFailure(transportError, codes.transfer, codes.offline, codes.operation);
    const std::string_view text = textOf(reply->body);
    if (!isValidUtf8(text))
        return fail(ErrorCode::serverError, codes.notText, codes.operation);
    VQ_LOG(LogLevel::debug, kUnit, codes.operation, "Successful raw response=" + std::string(text));

    auto token = JSONWebToken::parse(text);
    if (!token) {
        VQ_LOG(LogLevel::error, kUnit, codes.operation,
               "Reply is not a token: " + token.error().description());
        return fail(ErrorCode::internalFailure, codes.notToken, codes.operation);
    }
    VQ_LOG(LogLevel::info, kUnit, codes.operation,
           "Successful dictionary response=" + RequestToken::describe(token->payload.jsonPayload));
    return std::move(token.value());
}

std::optional<Error> Communication::verifyReply(const JSONWebToken& token, const ReplyCodes& codes) const {
    auto key = serviceKey(token, codes.operation);
    if (!key)
        return key.error();
    VQ_LOG(LogLevel::info, kUnit, codes.operation, "Checking JWT signature");
    const RSAPKCS1Verifier verifier(SignatureAlgorithm::HashFunction::sha256, RSAKey{key.value()});
    if (auto failure = verifier.validateToken(token)) {
        VQ_LOG(LogLevel::error, kUnit, codes.operation,
               std::string("JWT not verified: ") + toString(*failure));
        return fail(ErrorCode::internalFailure, codes.notVerified, codes.operation);
    }
    VQ_LOG(LogLevel::info, kUnit, codes.operation, "JWT Verified");
    return std::nullopt;
}

Error Communication::transferFailure(const std::optional<HttpError>& error, std::uint8_t transferCode,
                                     std::uint8_t offlineCode, const char* operation) const {
    std::optional<PlatformError> underlying;
    if (error)
        underlying = PlatformError{error->domain, error->code, error->localizedDescription};
    Error failure = fail(ErrorCode::serverError, transferCode, operation, std::nullopt, underlying);
    if (networkUnreachable())
        failure = fail(ErrorCode::networkError, offlineCode, operation);
    return failure;
}

std::optional<Error> Communication::checkHttpStatus(const Substance& substance,
                                                    const std::vector<std::uint8_t>& data,
                                                    const std::optional<HttpReply>& response) const {
    if (!response || response->status == 0)
        return fail(ErrorCode::serverError, 33, kCheckHttpStatus);

    for (const auto& [name, value] : response->headers)
        if (name == "correlation-id") {
            VQ_LOG(LogLevel::info, kUnit, kCheckHttpStatus,
                   substance.name + " response correlation-id=" + value);
            break;
        }

    const int status = response->status;
    if (status == 200 || status == 201) {
        VQ_LOG(LogLevel::info, kUnit, kCheckHttpStatus, "Successful status code=" + std::to_string(status));
        return std::nullopt;
    }
    VQ_LOG(LogLevel::error, kUnit, kCheckHttpStatus, "Bad status code=" + std::to_string(status));
    std::optional<Json> serverError;
    if (const std::string_view text = textOf(data); isValidUtf8(text)) {
        VQ_LOG(LogLevel::debug, kUnit, kCheckHttpStatus, "Error raw response=" + std::string(text));
        if (auto token = JSONWebToken::parse(text))
            serverError = std::move(token->payload.jsonPayload);
    }
    return fail(ErrorCode::serverError, 14, kCheckHttpStatus, serverError);
}

Result<std::shared_ptr<const KeyRef>, Error>
Communication::getPublicServerKey(const JSONWebToken& jwtResponse) const {
    const Json& claims = jwtResponse.payload.jsonPayload;
    const auto found = claims.find("serverPublicKey");
    if (found == claims.end() || !found->is_string())
        return fail(ErrorCode::internalFailure, 24, kGetPublicServerKey);
    auto key = shared_->keychain.makePublicKey(found->get<std::string>());
    if (!key)
        return fail(ErrorCode::internalFailure, 23, kGetPublicServerKey);
    return key;
}

Result<std::shared_ptr<const KeyRef>, Error> Communication::serviceKey(const JSONWebToken& jwtResponse,
                                                                       const char* operation) const {
    if (auto stored = shared_->keychain.getKeyRef(items::kServerPublicKeyTag)) {
        VQ_LOG(LogLevel::info, kUnit, operation, "Public was found in keychain");
        return stored;
    }
    // A paired device that lost its stored key must not accept a reply that brings and signs
    // with a key of its own: anyone could.
    if (shared_->keychain.isPaired()) {
        VQ_LOG(LogLevel::error, kUnit, operation,
               "No service key is stored; a reply's own key is not trusted");
        return fail(ErrorCode::internalFailure, 24, operation);
    }
    auto key = getPublicServerKey(jwtResponse);
    if (key)
        VQ_LOG(LogLevel::info, kUnit, operation, "Public was found in response");
    return key;
}

bool Communication::networkUnreachable() const {
    const Collaborators& c = shared_->collaborators;
    if (!c.reachabilityFlags || !c.queues || !c.notificationCenter)
        return false;
    auto reference = c.reachabilityFlags->createWithAnyIPv4Address();
    if (!reference)
        return false;
    auto reachability = Reachability::create(std::move(reference), QualityOfService::defaultQoS, c.queues,
                                             c.notificationCenter);
    return reachability->connection() == Connection::none;
}

} // namespace velquor::detail
