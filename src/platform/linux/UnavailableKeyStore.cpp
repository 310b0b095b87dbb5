#include "platform/linux/UnavailableKeyStore.hpp"

namespace velquor::detail {

KeyStoreStatus UnavailableKeyStore::copyPassword(const std::string&, const std::string&,
                                                 std::vector<std::uint8_t>& data) {
    data.clear();
    return kKeyStoreIOError;
}
KeyStoreStatus UnavailableKeyStore::addPassword(const std::string&, const std::string&,
                                                const std::vector<std::uint8_t>&) {
    return kKeyStoreIOError;
}
KeyStoreStatus UnavailableKeyStore::replacePassword(const std::string&, const std::string&,
                                                    const std::vector<std::uint8_t>&) {
    return kKeyStoreIOError;
}
KeyStoreStatus UnavailableKeyStore::deletePassword(const std::string&, const std::string&) {
    return kKeyStoreIOError;
}
KeyStoreStatus UnavailableKeyStore::generateRSAKeyPair(const std::string&, const std::string&, int) {
    return kKeyStoreIOError;
}
KeyStoreStatus UnavailableKeyStore::copyKeyData(const std::string&, std::vector<std::uint8_t>& data) {
    data.clear();
    return kKeyStoreIOError;
}
KeyStoreStatus UnavailableKeyStore::copyKeyRef(const std::string&, std::shared_ptr<const KeyRef>& key) {
    key.reset();
    return kKeyStoreIOError;
}
KeyStoreStatus UnavailableKeyStore::addKey(const std::string&, const std::vector<std::uint8_t>&) {
    return kKeyStoreIOError;
}
KeyStoreStatus UnavailableKeyStore::deleteKey(const std::string&) {
    return kKeyStoreIOError;
}
KeyStoreStatus UnavailableKeyStore::deleteKeyPair(const std::string&, const std::string&) {
    return kKeyStoreIOError;
}
std::shared_ptr<const KeyRef> UnavailableKeyStore::createPublicKey(const std::vector<std::uint8_t>&) {
    return nullptr;
}

} // namespace velquor::detail
