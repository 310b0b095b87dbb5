// Something that accepts or rejects a parsed token. Implementations say their thread-safety.
#pragma once

#include "jwt/SignatureValidatorError.hpp"

#include <optional>

namespace velquor::detail {

class JSONWebToken;

class JSONWebTokenValidatorType {
public:
    virtual ~JSONWebTokenValidatorType() = default;
    // Nothing when the token is accepted.
    virtual std::optional<SignatureValidatorError> validateToken(const JSONWebToken& token) const = 0;
};

} // namespace velquor::detail
