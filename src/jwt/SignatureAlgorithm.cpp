#include "jwt/SignatureAlgorithm.hpp"

#include <algorithm>
#include <cctype>

namespace velquor::detail {

std::optional<SignatureAlgorithm::HashFunction>
SignatureAlgorithm::hashFunctionFromRawValue(int rawValue) noexcept {
    switch (rawValue) {
    case 256:
        return HashFunction::sha256;
    case 384:
        return HashFunction::sha384;
    case 512:
        return HashFunction::sha512;
    default:
        return std::nullopt;
    }
}

int SignatureAlgorithm::position(HashFunction hash) noexcept {
    switch (hash) {
    case HashFunction::sha256:
        return 0;
    case HashFunction::sha384:
        return 1;
    case HashFunction::sha512:
        return 2;
    }
    return 0;
}

Result<SignatureAlgorithm, JSONWebTokenError> SignatureAlgorithm::fromName(std::string_view name) {
    const JSONWebTokenError invalid{JSONWebTokenError::Kind::invalidSignatureAlgorithm, std::nullopt,
                                    std::string(name)};
    if (name.empty())
        return invalid;
    std::string lowered(name);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lowered == "none")
        return none();
    if (name.size() < 2)
        return invalid;

    const std::string_view prefix = name.substr(0, 2);
    const std::string_view rest = name.substr(2);
    HashFunction hash;
    if (rest == "256")
        hash = HashFunction::sha256;
    else if (rest == "384")
        hash = HashFunction::sha384;
    else if (rest == "512")
        hash = HashFunction::sha512;
    else
        return invalid;

    if (prefix == "HS")
        return hmac(hash);
    if (prefix == "RS")
        return rsassa_PKCS1(hash);
    if (prefix == "ES")
        return ecdsa(hash);
    if (prefix == "PS")
        return rsassa_PSS(hash);
    return invalid;
}

std::optional<SignatureAlgorithm::HashFunction> SignatureAlgorithm::hashFunction() const noexcept {
    if (kind_ == Kind::none)
        return std::nullopt;
    return hash_;
}

std::string SignatureAlgorithm::name() const {
    const char* prefix = "";
    switch (kind_) {
    case Kind::hmac:
        prefix = "HS";
        break;
    case Kind::rsassa_PKCS1:
        prefix = "RS";
        break;
    case Kind::ecdsa:
        prefix = "ES";
        break;
    case Kind::rsassa_PSS:
        prefix = "PS";
        break;
    case Kind::none:
        return "none";
    }
    return prefix + std::to_string(static_cast<int>(hash_));
}

} // namespace velquor::detail
