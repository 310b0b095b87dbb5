// Failure statuses the library's own key stores report besides those of <velquor/Platform.hpp>.
// They are the platform's codes for the same conditions, so a log line reads the same whatever
// store produced it. Any non-zero status other than not-found and duplicate is a failure.
#pragma once

#include <velquor/Platform.hpp>

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

} // namespace velquor::detail
