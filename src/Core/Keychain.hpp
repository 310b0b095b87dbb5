// Access to the key store: named secure text items, the device RSA key pair, the service's public
// key and the device fingerprint. Keychain holds no state besides its store handle; instances are
// equivalent and may be used from any thread at the same time.
//
// The string-item half lives in Keychain.cpp, the key half in KeychainKeys.cpp.
#pragma once

#include "Core/KeychainResult.hpp"

#include <velquor/Platform.hpp>
#include <velquor/Velquor.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velquor::detail {

class Keychain {
public:
    // Tags of the key items. The two device tags end in one zero byte, which belongs to the tag.
    static const std::string kDevicePublicKeyTag;
    static const std::string kDevicePrivateKeyTag;
    static const std::string kServerPublicKeyTag;

    // Uses the process's key store.
    Keychain();
    explicit Keychain(std::shared_ptr<KeyStore> store);

    // --- secure string items ---------------------------------------------------------------
    KeychainResult getString(const std::string& key) const;
    // Replaces the item in one step; true for store status 0 or duplicate.
    bool setString(const std::string& key, const std::string& value) const;
    // True only when an item was deleted.
    bool deleteString(const std::string& key) const;
    // Removes the device and service keys and the local-data string items; keeps
    // "deviceFingerprint" and "stayPaired".
    void removeAllItems() const;

    // --- keys ----------------------------------------------------------------------------
    bool generateKeyPair(const std::string& publicTag, const std::string& privateTag) const;
    // PKCS#1 bytes of a public key; a private key answers failure with no data.
    KeychainResult getKeyData(const std::string& tag) const;
    std::shared_ptr<const KeyRef> getKeyRef(const std::string& tag) const;
    bool addKey(const std::string& tag, const std::vector<std::uint8_t>& data) const;
    // Base64 SubjectPublicKeyInfo of the device public key, generating the pair on first use and
    // replacing a public key whose private key is missing or damaged.
    std::optional<std::string> getDevicePublicKeyString() const;
    // Stores the service key given as Base64 (SubjectPublicKeyInfo or PKCS#1); a key shorter
    // than 2048 bits is refused with internal code 5.
    std::optional<Error> setServerPublicKey(const std::string& key) const;
    // Null for undecodable text and for keys shorter than 2048 bits.
    std::shared_ptr<const KeyRef> makePublicKey(const std::string& base64) const;
    std::optional<std::string> deviceFingerprint() const;

    const std::shared_ptr<KeyStore>& store() const { return store_; }

private:
    enum class PrivateKeyState { present, absent, unreadable };
    PrivateKeyState privateKeyState() const;

    std::shared_ptr<KeyStore> store_;
};

} // namespace velquor::detail
