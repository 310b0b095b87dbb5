#include "remote/RequestToken.hpp"

#include "jwt/RSAPKCS1Signer.hpp"
#include "log/Log.hpp"
#include "platform/KeyStoreOperation.hpp"
#include "remote/ErrorBuilder.hpp"

namespace velquor::detail {

namespace {

// The token steps are part of sending; their lines carry the transport's unit and operations.
constexpr const char* kUnit = "Core/Communication";

Error failure(std::uint8_t internalCode, const char* operation) {
    Error error = ErrorBuilder::build(ErrorCode::internalFailure, internalCode);
    log(error, LogLevel::error, kUnit, __LINE__, operation);
    return error;
}

} // namespace

RequestToken::RequestToken(std::shared_ptr<DataManager> dataManager, std::shared_ptr<KeyStore> keyStore)
    : dataManager_(std::move(dataManager))
    , keychain_(std::move(keyStore)) {}

Json RequestToken::mergeParameters(Json claims, const std::optional<Json>& params) {
    if (!params || !params->is_object())
        return claims;
    for (const auto& [name, value] : params->items())
        if (!claims.contains(name))
            claims[name] = value;
    return claims;
}

std::string RequestToken::describe(const Json& claims) {
    return claims.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Result<std::string, JSONWebToken::BuildError>
RequestToken::buildToken(const Json& claims, const Keychain& keychain,
                         const std::shared_ptr<const KeyRef>& privateKey) {
    std::optional<RSAPKCS1Signer> signer;
    if (keychain.isPaired())
        signer.emplace(SignatureAlgorithm::HashFunction::sha256, RSAKey{privateKey});
    std::optional<std::string> keyID = keychain.getString("mobileDeviceID").text;
    auto token = JSONWebToken::build(claims, keyID, signer ? &*signer : nullptr);
    if (!token)
        return token.error();
    return token->rawString();
}

Result<std::string, Error> RequestToken::makeRequestToken(const Substance& substance) const {
    return make(substance, true, {10, 20, 21, "post(substance:completionHandler:)"});
}

Result<std::string, Error> RequestToken::makeLogUploadToken(const Substance& substance) const {
    return make(substance, false, {45, 43, 42, "sendLogs(substance:completionHandler:)"});
}

Result<std::string, Error> RequestToken::make(const Substance& substance, bool requestClaims,
                                              const Codes& codes) const {
    try {
        // The token's item reads (claims, key, key id) check the store's directory once.
        const KeyStoreOperation operation;
        std::optional<Json> claims =
            requestClaims ? dataManager_->getRequestClaims() : dataManager_->getPayloadClaims();
        if (!claims)
            return failure(codes.noClaims, codes.operation);
        Json merged = mergeParameters(std::move(*claims), substance.params);

        std::shared_ptr<const KeyRef> privateKey = keychain_.getKeyRef(items::kDevicePrivateKeyTag);
        if (!privateKey)
            return failure(codes.noPrivateKey, codes.operation);

        auto token = buildToken(merged, keychain_, privateKey);
        if (!token) {
            VQ_LOG(LogLevel::error, kUnit, codes.operation,
                   "Token building failed: " + token.error().description());
            return failure(codes.buildFailed, codes.operation);
        }
        VQ_LOG(LogLevel::info, kUnit, codes.operation,
               "RequestName=" + substance.name + " URL=" + substance.urlString +
                   ", Request Params=" + describe(merged));
        VQ_LOG(LogLevel::debug, kUnit, codes.operation, "Raw request JWT=" + token.value());
        return std::move(token).value();
    } catch (const std::exception& exception) {
        // Nothing above is expected to throw; should it (memory), the request is not sent.
        VQ_LOG(LogLevel::error, kUnit, codes.operation,
               std::string("Token building failed: ") + exception.what());
        return failure(codes.buildFailed, codes.operation);
    }
}

} // namespace velquor::detail
