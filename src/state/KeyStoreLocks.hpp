// The locks of one key store. Whoever checks for the device key pair and then generates it, or
// deletes it, holds `keyPair` across both steps, so no thread sees a half-made or half-removed
// pair and two threads never both generate; whoever reads the fingerprint and creates it when
// missing holds `fingerprint` across both, so two first readers get the same one. Every Keychain
// over one store shares one instance; Keychains over different stores never block each other.
// The key store's own file lock covers other processes.
//
// Thread-safe. Neither lock is ever held across a log line or a callback: a log sink may read
// the fingerprint through another Keychain over the same store.
#pragma once

#include <velquor/Platform.hpp>

#include <memory>
#include <mutex>

namespace velquor::detail {

class KeyStoreLocks {
public:
    // The locks of `store`: the same instance for as long as anyone holds it (a holder keeps the
    // store alive, so its address cannot be reused meanwhile). Null for a null store.
    static std::shared_ptr<KeyStoreLocks> of(const std::shared_ptr<KeyStore>& store);

    std::mutex keyPair;
    std::mutex fingerprint;
};

} // namespace velquor::detail
