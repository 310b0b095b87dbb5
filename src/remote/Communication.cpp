#include "remote/Communication.hpp"

#include "device/Reachability.hpp"
#include "jwt/RSAPKCS1Verifier.hpp"
#include "log/Log.hpp"
#include "remote/ErrorBuilder.hpp"
#include "remote/RequestToken.hpp"
#include "state/Keychain.hpp"
#include "util/CurlPtr.hpp"
#include "util/Utf8.hpp"

#include <atomic>
#include <chrono>
#include <string_view>

namespace velquor::detail {

namespace {

constexpr const char* kUnit = "Core/Communication";
constexpr const char* kPost = "post(substance:completionHandler:)";
constexpr const char* kCheckHttpStatus = "checkHttpStatus(substance:data:response:)";
constexpr const char* kGetPublicServerKey = "getPublicServerKey(jwtResponse:)";

Error fail(ErrorCode code, std::uint8_t internalCode, const char* operation,
           const std::optional<Json>& serverError = std::nullopt,
           const std::optional<PlatformError>& underlying = std::nullopt) {
    Error error = ErrorBuilder::build(code, internalCode, serverError, underlying);
    log(error, LogLevel::error, kUnit, __LINE__, operation);
    return error;
}

// Calls the caller's handler; what it throws stays with it, never reaching the network thread.
void answer(const Communication::Handler& handler, std::optional<Json> claims, std::optional<Error> error) {
    if (!handler)
        return;
    try {
        handler(std::move(claims), std::move(error));
    } catch (const std::exception& exception) {
        VQ_LOG(LogLevel::error, kUnit, kPost, std::string("Completion handler threw: ") + exception.what());
    } catch (...) {
        VQ_LOG(LogLevel::error, kUnit, kPost, "Completion handler threw a non-standard exception");
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
        return answer(handler, std::nullopt, fail(ErrorCode::internalFailure, 9, kPost));

    HttpRequest request;
    request.method = "POST";
    request.url = substance.urlString;
    request.headers = {{"content-type", "application/jwt"}, {"Accept", "application/jwt"}};
    request.timeout = std::chrono::seconds(60);

    auto token = shared_->requestToken.makeRequestToken(substance); // logs its own failures
    if (!token)
        return answer(handler, std::nullopt, token.error());
    request.body.assign(token.value().begin(), token.value().end());
    if (!shared_->collaborators.http) // nothing to send with: reported as a failed transfer
        return answer(handler, std::nullopt, fail(ErrorCode::serverError, 15, kPost));

    shared_->collaborators.http->send(std::move(request), [self = *this, substance = std::move(substance),
                                                           handler = std::move(handler)](
                                                              std::optional<HttpReply> reply,
                                                              std::optional<HttpError> error) {
        // Nothing below is expected to throw; should it (memory), the caller still gets an
        // answer, once.
        auto answered = std::make_shared<std::atomic<bool>>(false);
        const Handler once = [answered, &handler](std::optional<Json> claims, std::optional<Error> failure) {
            if (!answered->exchange(true))
                answer(handler, std::move(claims), std::move(failure));
        };
        try {
            self.handleReply(substance, std::move(reply), std::move(error), once);
        } catch (const std::exception& exception) {
            VQ_LOG(LogLevel::error, kUnit, kPost, std::string("Reply handling failed: ") + exception.what());
            if (!answered->load())
                once(std::nullopt, fail(ErrorCode::serverError, 15, kPost));
        }
    });
}

void Communication::handleReply(const Substance& substance, std::optional<HttpReply> reply,
                                std::optional<HttpError> transportError, const Handler& handler) const {
    if (transportError || !reply) {
        std::optional<PlatformError> underlying;
        if (transportError)
            underlying = PlatformError{transportError->domain, transportError->code,
                                       transportError->localizedDescription};
        Error error = fail(ErrorCode::serverError, 15, kPost, std::nullopt, underlying);
        if (networkUnreachable())
            error = fail(ErrorCode::networkError, 16, kPost);
        return handler(std::nullopt, error);
    }

    const std::string_view text = textOf(reply->body);
    if (!isValidUtf8(text))
        return handler(std::nullopt, fail(ErrorCode::serverError, 12, kPost));
    VQ_LOG(LogLevel::debug, kUnit, kPost, "Successful raw response=" + std::string(text));

    auto token = JSONWebToken::parse(text);
    if (!token) {
        VQ_LOG(LogLevel::error, kUnit, kPost, "Reply is not a token: " + token.error().description());
        return handler(std::nullopt, fail(ErrorCode::internalFailure, 13, kPost));
    }
    const Json& claims = token->payload.jsonPayload;
    VQ_LOG(LogLevel::info, kUnit, kPost, "Successful dictionary response=" + RequestToken::describe(claims));
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

    auto key = serviceKey(token.value(), kPost);
    if (!key)
        return handler(std::nullopt, key.error());

    VQ_LOG(LogLevel::info, kUnit, kPost, "Checking JWT signature");
    const RSAPKCS1Verifier verifier(SignatureAlgorithm::HashFunction::sha256, RSAKey{key.value()});
    if (auto failure = verifier.validateToken(token.value())) {
        VQ_LOG(LogLevel::error, kUnit, kPost, std::string("JWT not verified: ") + toString(*failure));
        return handler(std::nullopt, fail(ErrorCode::internalFailure, 11, kPost));
    }
    VQ_LOG(LogLevel::info, kUnit, kPost, "JWT Verified");

    if (auto error = checkHttpStatus(substance, reply->body, reply))
        return handler(std::nullopt, error);
    handler(claims, std::nullopt);
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
