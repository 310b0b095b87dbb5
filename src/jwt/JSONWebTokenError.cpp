#include "jwt/JSONWebTokenError.hpp"

namespace velquor::detail {

const char* toString(JSONWebTokenPart part) noexcept {
    switch (part) {
    case JSONWebTokenPart::header:
        return "header";
    case JSONWebTokenPart::payload:
        return "payload";
    case JSONWebTokenPart::signature:
        return "signature";
    }
    return "unknown";
}

std::string JSONWebTokenError::description() const {
    const std::string partName = part ? toString(*part) : "";
    switch (kind) {
    case Kind::cannotDecodeBase64Part:
        return "cannotDecodeBase64Part(" + partName + ", " + text + ")";
    case Kind::invalidJSON:
        return "invalidJSON(" + partName + ", " + text + ")";
    case Kind::invalidJSONStructure:
        return "invalidJSONStructure(" + partName + ")";
    case Kind::invalidSignatureAlgorithm:
        return "invalidSignatureAlgorithm(" + text + ")";
    case Kind::badTokenStructure:
        return "badTokenStructure";
    case Kind::typeIsNotAJSONWebToken:
        return "typeIsNotAJSONWebToken";
    case Kind::missingSignatureAlgorithm:
        return "missingSignatureAlgorithm";
    }
    return "unknown";
}

} // namespace velquor::detail
