// A key held by the key store, carried to the RSA signer or verifier. The key material stays in
// the store; this only holds the handle. A plain value; the handle is safe to share across threads.
#pragma once

#include <velquor/Platform.hpp>

#include <memory>

namespace velquor::detail {

struct RSAKey {
    // A private key for signing, a public key for verifying. Null means "no key": signing then
    // fails and verification rejects.
    std::shared_ptr<const KeyRef> value;
};

} // namespace velquor::detail
