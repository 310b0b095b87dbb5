// The string-item half of Keychain: named secure text items, and the removal of local data.
// Every store failure is absorbed into the returned value; nothing here throws or logs.
#include "state/Keychain.hpp"

#include "util/Utf8.hpp"

namespace velquor::detail {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

// The string items that the removal of local data deletes, in deletion order. "deviceFingerprint"
// and "stayPaired" are deliberately absent: both outlive the removal.
constexpr std::string_view kLocalDataItems[] = {
    items::kDeviceTokenStr,   items::kInstalledApplicationID,
    items::kMobileDeviceID,   items::kIsPaired,
    items::kDataCenter,       items::kLogsKey,
    items::kDeviceMarketName,
};

} // namespace

Keychain::Keychain(std::shared_ptr<KeyStore> store)
    : store_(std::move(store))
    , locks_(KeyStoreLocks::of(store_)) {}

KeychainResult Keychain::getString(std::string_view name) const {
    KeychainResult result;
    if (!store_) {
        result.osStatus = kKeyStoreIOError;
        result.status = KeychainResult::classify(result.osStatus);
        return result;
    }
    const std::string key(name);
    std::vector<std::uint8_t> data;
    result.osStatus = store_->copyPassword(key, key, data);
    result.status = KeychainResult::classify(result.osStatus);
    if (result.status == KeychainStatus::success) {
        std::string text(data.begin(), data.end());
        if (isValidUtf8(text))
            result.text = std::move(text);
    }
    return result;
}

bool Keychain::setString(std::string_view name, const std::string& value) const {
    if (!store_)
        return false;
    const std::string key(name);
    // One replace rather than delete-then-add: a reader on another thread must never see the
    // item missing, or it would take the device for unpaired or mint a second fingerprint.
    KeyStoreStatus status = store_->replacePassword(key, key, bytesOf(value));
    return status == kKeyStoreSuccess || status == kKeyStoreDuplicateItem;
}

bool Keychain::deleteString(std::string_view name) const {
    if (!store_)
        return false;
    const std::string key(name);
    return store_->deletePassword(key, key) == kKeyStoreSuccess;
}

bool Keychain::isPaired() const {
    return getString(items::kIsPaired).text.has_value();
}

void Keychain::removeAllItems() const {
    if (!store_)
        return;
    // Each step runs whatever the outcome of the others. The pair goes under the pair's lock, so
    // an export running meanwhile cannot generate between the two deletions and be left with a
    // public key whose private key was just removed.
    {
        std::lock_guard lock(locks_->keyPair);
        store_->deleteKeyPair(std::string(items::kDevicePublicKeyTag),
                              std::string(items::kDevicePrivateKeyTag));
        store_->deleteKey(std::string(items::kServerPublicKeyTag));
    }
    for (std::string_view name : kLocalDataItems)
        deleteString(name);
}

} // namespace velquor::detail
