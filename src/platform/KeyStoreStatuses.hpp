// Failure statuses the library's own key stores report besides those of <velquor/Platform.hpp>.
// They are the platform's codes for the same conditions, so a log line reads the same whatever
// store produced it. Any non-zero status other than not-found and duplicate is a failure.
#pragma once

#include <velquor/Platform.hpp>

#include <initializer_list>

namespace velquor::detail {

// A parameter was refused: bytes that are no PKCS#1 RSA public key, an unsupported key size,
// a digest of the wrong length, signing with a public key, equal public and private tags.
inline constexpr KeyStoreStatus kKeyStoreParameterError = -50;
// A stored item could not be decoded (a corrupt or foreign file).
inline constexpr KeyStoreStatus kKeyStoreDecodeError = -26275;
// rawVerify: the signature does not match.
inline constexpr KeyStoreStatus kKeyStoreVerifyFailed = -67808;
// OpenSSL could not complete an operation (key generation, signing).
inline constexpr KeyStoreStatus kKeyStoreInternalError = -26276;

// The status of two deletions made as one, as KeyStore::deleteKeyPair() reports it.
inline KeyStoreStatus combineDeletions(KeyStoreStatus first, KeyStoreStatus second) {
    for (KeyStoreStatus status : {first, second})
        if (status != kKeyStoreSuccess && status != kKeyStoreItemNotFound)
            return status;
    return first == kKeyStoreSuccess || second == kKeyStoreSuccess ? kKeyStoreSuccess : kKeyStoreItemNotFound;
}

} // namespace velquor::detail
