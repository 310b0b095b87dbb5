#include "remote/Payload.hpp"

#include "log/Log.hpp"
#include "remote/ErrorBuilder.hpp"
#include "remote/RequestToken.hpp"

namespace velquor::detail {

namespace {

constexpr const char* kUnit = "Core/Payload";
constexpr const char* kOperation = "create()";

[[noreturn]] void fail(std::uint8_t internalCode) {
    Error error = ErrorBuilder::build(ErrorCode::internalFailure, internalCode);
    log(error, LogLevel::error, kUnit, __LINE__, kOperation);
    throw error;
}

} // namespace

Payload::Payload(std::shared_ptr<DataManager> dataManager, std::shared_ptr<KeyStore> keyStore)
    : dataManager_(std::move(dataManager))
    , keychain_(std::move(keyStore)) {}

std::string Payload::create() const {
    try {
        return createOrThrow();
    } catch (const Error&) {
        throw;
    } catch (const std::exception& exception) {
        // Only Error may reach the host.
        VQ_LOG(LogLevel::error, kUnit, kOperation, std::string("Token building failed: ") + exception.what());
        fail(25);
    }
}

std::string Payload::createOrThrow() const {
    std::optional<Json> claims = dataManager_->getPayloadClaims();
    if (!claims)
        fail(19);
    // Creates the key pair on a fresh installation; the text itself is not needed.
    if (!keychain_.getDevicePublicKeyString())
        fail(17);
    std::shared_ptr<const KeyRef> privateKey = keychain_.getKeyRef(items::kDevicePrivateKeyTag);
    if (!privateKey)
        fail(22);
    auto token = RequestToken::buildToken(*claims, keychain_, privateKey);
    if (!token) {
        VQ_LOG(LogLevel::error, kUnit, kOperation, "Token building failed: " + token.error().description());
        fail(25);
    }
    VQ_LOG(LogLevel::info, kUnit, kOperation, "Payload Params=" + RequestToken::describe(*claims));
    VQ_LOG(LogLevel::debug, kUnit, kOperation, "Payload Raw request JWT=" + token.value());
    return std::move(token).value();
}

} // namespace velquor::detail
