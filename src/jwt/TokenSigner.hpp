// What the token builder needs from a signer: the algorithm it produces and a signature over the
// signing input. RSAPKCS1Signer is the one implementation. Implementations say their own
// thread-safety; the builder calls them on its caller's thread.
#pragma once

#include "jwt/SignatureAlgorithm.hpp"
#include "util/Result.hpp"

#include <velquor/Platform.hpp>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velquor::detail {

// Why a signer produced no signature.
struct SignerError {
    enum class Kind { securityError };
    Kind kind = Kind::securityError;
    // The key store's status (velquor::KeyStoreStatus) for securityError.
    KeyStoreStatus status = 0;

    bool operator==(const SignerError&) const = default;
    // "securityError(<status>)".
    std::string description() const { return "securityError(" + std::to_string(status) + ")"; }
};

class TokenSigner {
public:
    virtual ~TokenSigner() = default;
    virtual SignatureAlgorithm signatureAlgorithm() const = 0;
    virtual Result<std::vector<std::uint8_t>, SignerError>
    sign(std::span<const std::uint8_t> input) const = 0;
};

} // namespace velquor::detail
