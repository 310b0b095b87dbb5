#include "jwt/SignatureValidator.hpp"

#include "jwt/JSONWebToken.hpp"
#include "util/Base64URL.hpp"

namespace velquor::detail {

std::optional<SignatureValidatorError> SignatureValidator::validateToken(const JSONWebToken& token) const {
    if (!canVerify(token.signatureAlgorithm))
        return SignatureValidatorError::algorithmMismatch;

    const std::string signingInput = token.base64Parts.header + "." + token.base64Parts.payload;
    // A parsed token's signature always decodes; a hand-made one may not.
    const auto signature = base64URLDecoded(token.base64Parts.signature);
    if (!signature)
        return SignatureValidatorError::badInputData;

    const std::span<const std::uint8_t> signedBytes(
        reinterpret_cast<const std::uint8_t*>(signingInput.data()), signingInput.size());
    if (!verify(signedBytes, *signature))
        return SignatureValidatorError::signatureMismatch;
    return std::nullopt;
}

} // namespace velquor::detail
