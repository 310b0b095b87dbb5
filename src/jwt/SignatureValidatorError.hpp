// Why a token's signature was not accepted. Returned as a value, never raised.
#pragma once

namespace velquor::detail {

enum class SignatureValidatorError { algorithmMismatch, badInputData, signatureMismatch };

// "algorithmMismatch", "badInputData", "signatureMismatch".
inline const char* toString(SignatureValidatorError error) noexcept {
    switch (error) {
    case SignatureValidatorError::algorithmMismatch:
        return "algorithmMismatch";
    case SignatureValidatorError::badInputData:
        return "badInputData";
    case SignatureValidatorError::signatureMismatch:
        return "signatureMismatch";
    }
    return "unknown";
}

} // namespace velquor::detail
