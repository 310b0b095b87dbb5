#include "jwt/JSONWebToken.hpp"

#include "util/Base64URL.hpp"
#include "util/BoundedJson.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <vector>

namespace velquor::detail {

namespace {

using Kind = JSONWebTokenError::Kind;

std::vector<std::string_view> splitAtDots(std::string_view text) {
    std::vector<std::string_view> segments;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = text.find('.', start);
        if (dot == std::string_view::npos) {
            segments.push_back(text.substr(start));
            return segments;
        }
        segments.push_back(text.substr(start, dot - start));
        start = dot + 1;
    }
}

// The object in `bytes`, or the error for `part`. The reader is strict (no comments, no trailing
// commas, UTF-8 checked) and refuses deep nesting.
Result<Json, JSONWebTokenError> readObject(const std::vector<std::uint8_t>& bytes, JSONWebTokenPart part) {
    auto parsed = BoundedJson::parse(bytes);
    if (!parsed)
        return JSONWebTokenError{Kind::invalidJSON, part, parsed.error};
    if (!parsed->is_object())
        return JSONWebTokenError{Kind::invalidJSONStructure, part, ""};
    return std::move(*parsed);
}

// True when every value below `value` is one JSON can carry. nlohmann would write NaN as null
// and binary values as objects; both are refused instead of silently changed.
bool isWritableJSON(const Json& value) {
    switch (value.type()) {
    case Json::value_t::binary:
    case Json::value_t::discarded:
        return false;
    case Json::value_t::number_float:
        return std::isfinite(value.get<double>());
    case Json::value_t::array:
    case Json::value_t::object:
        return std::all_of(value.begin(), value.end(),
                           [](const Json& element) { return isWritableJSON(element); });
    default:
        return true;
    }
}

} // namespace

std::string JSONWebToken::BuildError::description() const {
    if (kind == Kind::signer && signerError)
        return signerError->description();
    return "invalidJSON(" + message + ")";
}

Result<JSONWebToken, JSONWebToken::Error> JSONWebToken::parse(std::string_view compact) {
    const std::vector<std::string_view> segments = splitAtDots(compact);
    if (segments.size() != 3)
        return Error{Kind::badTokenStructure, std::nullopt, ""};

    const Part parts[3] = {Part::header, Part::payload, Part::signature};
    std::optional<std::vector<std::uint8_t>> decoded[3];
    for (int i = 0; i < 3; ++i) {
        decoded[i] = base64URLDecoded(segments[i]);
        if (!decoded[i])
            return Error{Kind::cannotDecodeBase64Part, parts[i], std::string(segments[i])};
    }

    auto header = readObject(*decoded[0], Part::header);
    if (!header)
        return header.error();

    const Json& headerObject = header.value();
    if (auto typ = headerObject.find("typ"); typ != headerObject.end() && typ->is_string()) {
        std::string upper = typ->get<std::string>();
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (upper != "JWT")
            return Error{Kind::typeIsNotAJSONWebToken, std::nullopt, ""};
    }

    const auto alg = headerObject.find("alg");
    if (alg == headerObject.end() || !alg->is_string())
        return Error{Kind::missingSignatureAlgorithm, std::nullopt, ""};
    auto algorithm = SignatureAlgorithm::fromName(alg->get<std::string>());
    if (!algorithm)
        return algorithm.error();

    auto claims = readObject(*decoded[1], Part::payload);
    if (!claims)
        return claims.error();

    JSONWebToken token;
    token.signatureAlgorithm = algorithm.value();
    token.payload.jsonPayload = std::move(claims).value();
    token.base64Parts = {std::string(segments[0]), std::string(segments[1]), std::string(segments[2])};
    return token;
}

Result<JSONWebToken, JSONWebToken::BuildError>
JSONWebToken::build(const Json& claims, const std::optional<std::string>& keyID, const TokenSigner* signer) {
    const SignatureAlgorithm algorithm = signer ? signer->signatureAlgorithm() : SignatureAlgorithm::none();

    if (!claims.is_object())
        return BuildError{BuildError::Kind::invalidJSON, "the claims are not a JSON object", std::nullopt};
    if (!isWritableJSON(claims))
        return BuildError{BuildError::Kind::invalidJSON, "a claim holds a value JSON cannot carry",
                          std::nullopt};

    Json header = Json::object();
    header["alg"] = algorithm.name();
    header["typ"] = "JWT";
    if (keyID)
        header["kid"] = *keyID;

    JSONWebToken token;
    token.signatureAlgorithm = algorithm;
    try {
        // Strict error handling: text that is not UTF-8 is an error, never replaced or dropped.
        token.base64Parts.header = base64URLEncodedString(header.dump());
        token.base64Parts.payload = base64URLEncodedString(claims.dump());
        token.payload.jsonPayload = claims;
    } catch (const Json::exception& error) {
        return BuildError{BuildError::Kind::invalidJSON, error.what(), std::nullopt};
    } catch (const std::exception& error) {
        return BuildError{BuildError::Kind::invalidJSON, error.what(), std::nullopt};
    }

    if (signer) {
        const std::string signingInput = token.base64Parts.header + "." + token.base64Parts.payload;
        auto signature = signer->sign(
            std::span(reinterpret_cast<const std::uint8_t*>(signingInput.data()), signingInput.size()));
        if (!signature)
            return BuildError{BuildError::Kind::signer, signature.error().description(), signature.error()};
        token.base64Parts.signature = base64URLEncodedString(signature.value());
    }
    return token;
}

std::string JSONWebToken::rawString() const {
    return base64Parts.header + "." + base64Parts.payload + "." + base64Parts.signature;
}

} // namespace velquor::detail
