// The key half of Keychain: the device RSA key pair, the service's public key, public keys
// rebuilt from text, and the device fingerprint. Private keys stay inside the key store; only
// handles (KeyRef) and public key bytes come out.
#include "crypto/CertificateHandler.hpp"
#include "log/Log.hpp"
#include "platform/KeyStoreStatuses.hpp"
#include "remote/ErrorBuilder.hpp"
#include "state/Keychain.hpp"
#include "util/Base64.hpp"
#include "util/OpenSSLPtr.hpp"
#include "util/RandomUUID.hpp"

#include <openssl/rand.h>

#include <array>

namespace velquor::detail {

namespace {

constexpr const char* kUnit = "Core/Keychain";
constexpr int kDeviceKeyBits = 2048;

// Generation with the pair lock already held. Answers the store's status; a duplicate whose pair
// is complete counts as success (the store refuses to overwrite a stored public key).
KeyStoreStatus generateKeyPairLocked(KeyStore& store, const std::string& publicTag,
                                     const std::string& privateTag) {
    const KeyStoreStatus status = store.generateRSAKeyPair(publicTag, privateTag, kDeviceKeyBits);
    if (status == kKeyStoreDuplicateItem) {
        std::shared_ptr<const KeyRef> publicKey;
        std::shared_ptr<const KeyRef> privateKey;
        if (store.copyKeyRef(publicTag, publicKey) == kKeyStoreSuccess && publicKey &&
            store.copyKeyRef(privateTag, privateKey) == kKeyStoreSuccess && privateKey)
            return kKeyStoreSuccess;
    }
    return status;
}

// Logged after the pair lock is released, like every line of this unit.
bool reportGeneration(KeyStoreStatus status) {
    if (status != kKeyStoreSuccess)
        VQ_LOG(LogLevel::error, kUnit, "generateKeyPair(publicTag:privateTag:)",
               "Error generating key pair: " + std::to_string(status));
    return status == kKeyStoreSuccess;
}

// Received keys shorter than the device's own are refused: they would make the replies they
// verify forgeable. Keys stored earlier are not checked again.
bool strongEnough(const std::shared_ptr<const KeyRef>& key) {
    return key && !key->isPrivate() && key->blockSize() * 8 >= static_cast<std::size_t>(kDeviceKeyBits);
}

} // namespace

Keychain::PrivateKeyState Keychain::privateKeyState() const {
    std::vector<std::uint8_t> ignored;
    const KeyStoreStatus status =
        store_ ? store_->copyKeyData(std::string(items::kDevicePrivateKeyTag), ignored) : kKeyStoreIOError;
    // A private key is not exportable; that answer is how a store says it holds one.
    if (status == kKeyStoreNotExportable || status == kKeyStoreSuccess)
        return PrivateKeyState::present;
    if (status == kKeyStoreItemNotFound || status == kKeyStoreDecodeError)
        return PrivateKeyState::absent;
    return PrivateKeyState::unreadable;
}

bool Keychain::generateKeyPair(std::string_view publicTag, std::string_view privateTag) const {
    if (!store_)
        return false;
    KeyStoreStatus status;
    {
        std::lock_guard lock(locks_->keyPair);
        status = generateKeyPairLocked(*store_, std::string(publicTag), std::string(privateTag));
    }
    return reportGeneration(status);
}

KeychainResult Keychain::getKeyData(std::string_view tag) const {
    KeychainResult result;
    std::vector<std::uint8_t> data;
    result.osStatus = store_ ? store_->copyKeyData(std::string(tag), data) : kKeyStoreIOError;
    result.status = KeychainResult::classify(result.osStatus);
    if (result.status == KeychainStatus::success)
        result.data = std::move(data);
    return result;
}

std::shared_ptr<const KeyRef> Keychain::getKeyRef(std::string_view tag) const {
    std::shared_ptr<const KeyRef> key;
    if (!store_ || store_->copyKeyRef(std::string(tag), key) != kKeyStoreSuccess)
        return nullptr;
    return key;
}

bool Keychain::addKey(std::string_view tag, const std::vector<std::uint8_t>& data) const {
    if (!store_)
        return false;
    const KeyStoreStatus status = store_->addKey(std::string(tag), data);
    return status == kKeyStoreSuccess || status == kKeyStoreDuplicateItem;
}

std::optional<std::string> Keychain::getDevicePublicKeyString() const {
    if (!store_)
        return std::nullopt;
    std::optional<KeyStoreStatus> generation;
    KeychainResult exported;
    {
        // Check and generate as one step: two exports at once must not make two pairs.
        std::lock_guard lock(locks_->keyPair);
        exported = getKeyData(items::kDevicePublicKeyTag);
        if (exported.status == KeychainStatus::failure)
            return std::nullopt;
        if (exported.status == KeychainStatus::success && exported.data) {
            // Half a pair (another process removed the private key alone, or it is damaged)
            // cannot sign: it counts as no pair and is replaced below. Any other failure answers
            // nothing.
            const PrivateKeyState privateKey = privateKeyState();
            if (privateKey == PrivateKeyState::unreadable)
                return std::nullopt;
            if (privateKey == PrivateKeyState::present)
                return base64Encode(CertificateHandler::addPublicKeyHeader(*exported.data));
        }
        generation = generateKeyPairLocked(*store_, std::string(items::kDevicePublicKeyTag),
                                           std::string(items::kDevicePrivateKeyTag));
        exported = getKeyData(items::kDevicePublicKeyTag);
    }
    reportGeneration(*generation);
    if (exported.status == KeychainStatus::success && exported.data)
        return base64Encode(CertificateHandler::addPublicKeyHeader(*exported.data));
    VQ_LOG(LogLevel::error, kUnit, "getDevicePublicKeyString()", "Can't fetch public key");
    return std::nullopt;
}

std::optional<Error> Keychain::setServerPublicKey(const std::string& key) const {
    const auto decoded = base64Decode(key);
    // Undecodable text is the reply handler's to report; it logs the error it passes on.
    if (!decoded)
        return ErrorBuilder::build(ErrorCode::internalFailure, 4);
    const auto pkcs1 = CertificateHandler::stripPublicKeyHeader(*decoded);
    // A key too short to trust is refused like one the store cannot take.
    if (!strongEnough(store_ ? store_->createPublicKey(pkcs1) : nullptr) ||
        !addKey(items::kServerPublicKeyTag, pkcs1)) {
        Error error = ErrorBuilder::build(ErrorCode::internalFailure, 5);
        VQ_LOG(LogLevel::error, kUnit, "setServerPublicKey(key:)", error);
        return error;
    }
    return std::nullopt;
}

std::shared_ptr<const KeyRef> Keychain::makePublicKey(const std::string& base64) const {
    const auto decoded = base64Decode(base64);
    if (!decoded || !store_)
        return nullptr;
    auto publicKey = store_->createPublicKey(CertificateHandler::stripPublicKeyHeader(*decoded));
    return strongEnough(publicKey) ? publicKey : nullptr;
}

std::optional<std::string> Keychain::deviceFingerprint() const {
    if (!store_)
        return std::nullopt;
    std::optional<std::string> fingerprint;
    {
        // Read and create as one step, so two first readers get the same fingerprint. Nothing is
        // logged under the lock: a log sink may itself read the fingerprint.
        std::lock_guard lock(locks_->fingerprint);
        const KeychainResult stored = getString(items::kDeviceFingerprint);
        if (stored.status == KeychainStatus::failure)
            return std::nullopt;
        if (stored.status == KeychainStatus::success && stored.text)
            return stored.text;
        fingerprint = randomUUIDText();
        if (fingerprint)
            setString(items::kDeviceFingerprint, *fingerprint);
    }
    if (!fingerprint)
        VQ_LOG(LogLevel::error, kUnit, "deviceFingerprint()",
               "Random source failed: " + drainOpenSSLErrors());
    return fingerprint;
}

} // namespace velquor::detail
