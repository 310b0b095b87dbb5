// The key store of a process that has no safe place for one (no home directory and no directory
// configured): every call fails with kKeyStoreIOError, so flows fail as for a broken store
// instead of keeping keys somewhere another user could plant or read them.
#pragma once

#include <velquor/Platform.hpp>

namespace velquor::detail {

// Stateless and thread-safe. No callbacks.
class UnavailableKeyStore final : public KeyStore {
public:
    KeyStoreStatus copyPassword(const std::string&, const std::string&,
                                std::vector<std::uint8_t>& data) override;
    KeyStoreStatus addPassword(const std::string&, const std::string&,
                               const std::vector<std::uint8_t>&) override;
    KeyStoreStatus replacePassword(const std::string&, const std::string&,
                                   const std::vector<std::uint8_t>&) override;
    KeyStoreStatus deletePassword(const std::string&, const std::string&) override;
    KeyStoreStatus generateRSAKeyPair(const std::string&, const std::string&, int) override;
    KeyStoreStatus copyKeyData(const std::string&, std::vector<std::uint8_t>& data) override;
    KeyStoreStatus copyKeyRef(const std::string&, std::shared_ptr<const KeyRef>& key) override;
    KeyStoreStatus addKey(const std::string&, const std::vector<std::uint8_t>&) override;
    KeyStoreStatus deleteKey(const std::string&) override;
    KeyStoreStatus deleteKeyPair(const std::string&, const std::string&) override;
    std::shared_ptr<const KeyRef> createPublicKey(const std::vector<std::uint8_t>&) override;
};

} // namespace velquor::detail
