// Access to the key store: named secure text items, the device RSA key pair, the service's public
// key and the device fingerprint. Keychain holds no state besides its store handle and the store's
// locks (KeyStoreLocks), shared by every Keychain over the same store; instances over one store
// are equivalent and may be used from any thread at the same time. Names: Core/ItemNames.hpp.
//
// The string-item half lives in Keychain.cpp, the key half in KeychainKeys.cpp.
#pragma once

#include "state/ItemNames.hpp"
#include "state/KeyStoreLocks.hpp"
#include "state/KeychainResult.hpp"

#include <velquor/Platform.hpp>
#include <velquor/Velquor.hpp>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::detail {

class Keychain {
public:
    explicit Keychain(std::shared_ptr<KeyStore> store);

    // --- secure string items ---------------------------------------------------------------
    KeychainResult getString(std::string_view key) const;
    // Replaces the item in one step; true for store status 0 or duplicate.
    bool setString(std::string_view key, const std::string& value) const;
    // True only when an item was deleted.
    bool deleteString(std::string_view key) const;
    // The "paired" gate: the item "isPaired" is present (its value is not compared).
    bool isPaired() const;
    // Removes the device and service keys and the local-data string items; keeps
    // "deviceFingerprint" and "stayPaired".
    void removeAllItems() const;

    // --- keys ----------------------------------------------------------------------------
    bool generateKeyPair(std::string_view publicTag, std::string_view privateTag) const;
    // PKCS#1 bytes of a public key; a private key answers failure with no data.
    KeychainResult getKeyData(std::string_view tag) const;
    std::shared_ptr<const KeyRef> getKeyRef(std::string_view tag) const;
    bool addKey(std::string_view tag, const std::vector<std::uint8_t>& data) const;
    // Base64 SubjectPublicKeyInfo of the device public key, generating the pair on first use and
    // replacing a public key whose private key is missing or damaged.
    std::optional<std::string> getDevicePublicKeyString() const;
    // Stores the service key given as Base64 (SubjectPublicKeyInfo or PKCS#1); a key shorter
    // than 2048 bits is refused with internal code 5.
    std::optional<Error> setServerPublicKey(const std::string& key) const;
    // Null for undecodable text and for keys shorter than 2048 bits.
    std::shared_ptr<const KeyRef> makePublicKey(const std::string& base64) const;
    // The stored fingerprint, created (a random UUID) and stored on first use; nothing when the
    // store or the random source fails.
    std::optional<std::string> deviceFingerprint() const;

    const std::shared_ptr<KeyStore>& store() const { return store_; }

private:
    enum class PrivateKeyState { present, absent, unreadable };
    PrivateKeyState privateKeyState() const;

    std::shared_ptr<KeyStore> store_;
    std::shared_ptr<KeyStoreLocks> locks_; // null exactly when store_ is
};

} // namespace velquor::detail
