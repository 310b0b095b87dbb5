// The key half of Keychain: the device RSA key pair, the service's public key, public keys
// rebuilt from text, and the device fingerprint. Private keys stay inside the key store; only
// handles (KeyRef) and public key bytes come out.
#include "Core/CertificateHandler.hpp"
#include "Core/ErrorBuilder.hpp"
#include "Core/Keychain.hpp"
#include "Core/KeychainKeyLock.hpp"
#include "PureJWT/Base64.hpp"
#include "log/Log.hpp"
#include "platform/KeyStoreStatuses.hpp"
#include "util/OpenSSLPtr.hpp"
#include "util/RandomUUID.hpp"

#include <openssl/rand.h>

#include <array>

namespace velquor::detail {

namespace {

constexpr const char* kUnit = "Core/Keychain";
constexpr int kDeviceKeyBits = 2048;

// The device tags end in one zero byte that belongs to the tag; stored keys are found by it.
constexpr char kDevicePublicTagBytes[] = "com.marvistel.quenzo.sid_publickey\0";
constexpr char kDevicePrivateTagBytes[] = "com.marvistel.quenzo.sid_privatekey\0";

std::mutex& fingerprintMutex() {
    static auto* mutex = new std::mutex; // leaked: outlives threads still running at exit
    return *mutex;
}

// Generation with the pair lock already held.
bool generateKeyPairLocked(KeyStore& store, const std::string& publicTag, const std::string& privateTag) {
    const KeyStoreStatus status = store.generateRSAKeyPair(publicTag, privateTag, kDeviceKeyBits);
    if (status == kKeyStoreSuccess)
        return true;
    VQ_LOG(LogLevel::error, kUnit, "generateKeyPair(publicTag:privateTag:)",
           "Error generating key pair: " + std::to_string(status));
    // The store refuses to overwrite a stored public key; the pair that is there still counts.
    if (status == kKeyStoreDuplicateItem) {
        std::shared_ptr<const KeyRef> publicKey;
        std::shared_ptr<const KeyRef> privateKey;
        return store.copyKeyRef(publicTag, publicKey) == kKeyStoreSuccess && publicKey &&
               store.copyKeyRef(privateTag, privateKey) == kKeyStoreSuccess && privateKey;
    }
    return false;
}

// Received keys shorter than the device's own are refused: they would make the replies they
// verify forgeable. Keys stored earlier are not checked again.
bool strongEnough(const std::shared_ptr<const KeyRef>& key) {
    return key && !key->isPrivate() && key->blockSize() * 8 >= static_cast<std::size_t>(kDeviceKeyBits);
}

// A random (version 4) UUID in upper-case canonical form, or nothing when the random source fails.
std::optional<std::string> randomUUID() {
    auto text = randomUUIDText();
    if (!text)
        VQ_LOG(LogLevel::error, kUnit, "deviceFingerprint()",
               "Random source failed: " + drainOpenSSLErrors());
    return text;
}

} // namespace

const std::string Keychain::kDevicePublicKeyTag(kDevicePublicTagBytes, sizeof kDevicePublicTagBytes - 1);
const std::string Keychain::kDevicePrivateKeyTag(kDevicePrivateTagBytes, sizeof kDevicePrivateTagBytes - 1);
const std::string Keychain::kServerPublicKeyTag = "serverPublicKeyIdentifier";

std::unique_lock<std::mutex> lockDeviceKeyPair() {
    // Leaked on purpose: a thread still exporting while the process exits must find it alive.
    static auto* mutex = new std::mutex;
    return std::unique_lock<std::mutex>(*mutex);
}

Keychain::PrivateKeyState Keychain::privateKeyState() const {
    std::vector<std::uint8_t> ignored;
    const KeyStoreStatus status =
        store_ ? store_->copyKeyData(kDevicePrivateKeyTag, ignored) : kKeyStoreIOError;
    // A private key is not exportable; that answer is how a store says it holds one.
    if (status == kKeyStoreNotExportable || status == kKeyStoreSuccess)
        return PrivateKeyState::present;
    if (status == kKeyStoreItemNotFound || status == kKeyStoreDecodeError)
        return PrivateKeyState::absent;
    return PrivateKeyState::unreadable;
}

bool Keychain::generateKeyPair(const std::string& publicTag, const std::string& privateTag) const {
    if (!store_)
        return false;
    auto lock = lockDeviceKeyPair();
    return generateKeyPairLocked(*store_, publicTag, privateTag);
}

KeychainResult Keychain::getKeyData(const std::string& tag) const {
    KeychainResult result;
    std::vector<std::uint8_t> data;
    result.osStatus = store_ ? store_->copyKeyData(tag, data) : kKeyStoreIOError;
    result.status = KeychainResult::classify(result.osStatus);
    if (result.status == KeychainStatus::success)
        result.data = std::move(data);
    return result;
}

std::shared_ptr<const KeyRef> Keychain::getKeyRef(const std::string& tag) const {
    std::shared_ptr<const KeyRef> key;
    if (!store_ || store_->copyKeyRef(tag, key) != kKeyStoreSuccess)
        return nullptr;
    return key;
}

bool Keychain::addKey(const std::string& tag, const std::vector<std::uint8_t>& data) const {
    if (!store_)
        return false;
    const KeyStoreStatus status = store_->addKey(tag, data);
    return status == kKeyStoreSuccess || status == kKeyStoreDuplicateItem;
}

std::optional<std::string> Keychain::getDevicePublicKeyString() const {
    // Check and generate as one step: two exports at once must not make two pairs.
    auto lock = lockDeviceKeyPair();
    const KeychainResult first = getKeyData(kDevicePublicKeyTag);
    if (first.status == KeychainStatus::failure)
        return std::nullopt;
    if (first.status == KeychainStatus::success && first.data) {
        // Half a pair (another process removed the private key alone, or it is damaged) cannot
        // sign: it counts as no pair and is replaced below. Any other failure answers nothing.
        const PrivateKeyState privateKey = privateKeyState();
        if (privateKey == PrivateKeyState::unreadable)
            return std::nullopt;
        if (privateKey == PrivateKeyState::present)
            return base64Encode(CertificateHandler::addPublicKeyHeader(*first.data));
    }

    if (store_)
        generateKeyPairLocked(*store_, kDevicePublicKeyTag, kDevicePrivateKeyTag);
    const KeychainResult second = getKeyData(kDevicePublicKeyTag);
    if (second.status == KeychainStatus::success && second.data)
        return base64Encode(CertificateHandler::addPublicKeyHeader(*second.data));
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
        !addKey(kServerPublicKeyTag, pkcs1)) {
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
    // Read and create as one step, so two first readers get the same fingerprint.
    std::lock_guard lock(fingerprintMutex());
    const KeychainResult stored = getString("deviceFingerprint");
    if (stored.status == KeychainStatus::failure)
        return std::nullopt;
    if (stored.status == KeychainStatus::success && stored.text)
        return stored.text;
    auto fingerprint = randomUUID();
    if (fingerprint)
        setString("deviceFingerprint", *fingerprint);
    return fingerprint;
}

} // namespace velquor::detail
