// A JSON Web Token in the compact JWS serialisation: header, payload and signature segments,
// each Base64URL, joined by ".". Parsing checks structure and JSON only, never the signature or
// the claims (that is a validator's job); building writes a header of "alg", "typ" "JWT" and an
// optional "kid" and signs with an optional TokenSigner. A plain value; safe to copy across
// threads, not to mutate from two at once.
//
//   auto built = JSONWebToken::build({{"iss", "device"}}, std::nullopt, &signer);
//   if (built) send(built->rawString());
//   auto parsed = JSONWebToken::parse(reply);
//   if (parsed && !verifier.validateToken(*parsed)) use(parsed->payload.jsonPayload);
#pragma once

#include "jwt/JSONWebTokenError.hpp"
#include "jwt/SignatureAlgorithm.hpp"
#include "jwt/TokenSigner.hpp"
#include "util/Result.hpp"

#include <velquor/Velquor.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace velquor::detail {

class JSONWebToken {
public:
    using Error = JSONWebTokenError;
    using Part = JSONWebTokenPart;

    struct Payload {
        // Always a JSON object.
        Json jsonPayload = Json::object();
    };

    // The segments exactly as received or produced; signatures are checked against these.
    struct Base64Parts {
        std::string header;
        std::string payload;
        std::string signature;
    };

    // Why build() produced no token. The signer's error is passed through unchanged.
    struct BuildError {
        enum class Kind {
            invalidJSON, // the claims are not an object or hold a value JSON cannot carry
            signer,      // signerError holds the signer's own error
        };
        Kind kind;
        std::string message;
        std::optional<SignerError> signerError;

        std::string description() const;
    };

    SignatureAlgorithm signatureAlgorithm = SignatureAlgorithm::none();
    Payload payload;
    Base64Parts base64Parts;

    // Checks, in this order, and fails at the first that does not hold: exactly three segments
    // (badTokenStructure); each segment Base64URL (cannotDecodeBase64Part, header first); the
    // header a JSON object (invalidJSON / invalidJSONStructure); a text "typ" equal to "JWT" in
    // any letter case (typeIsNotAJSONWebToken); a text "alg" (missingSignatureAlgorithm) naming
    // a known algorithm (invalidSignatureAlgorithm); the payload a JSON object.
    static Result<JSONWebToken, Error> parse(std::string_view compact);

    // `claims` must be a JSON object. Without a signer the algorithm is "none" and the signature
    // segment is empty (the compact form then ends in "."). Never throws: claims that cannot be
    // written as JSON (text that is not UTF-8, non-finite numbers, binary values) give
    // BuildError::Kind::invalidJSON. The signer is used only during the call.
    static Result<JSONWebToken, BuildError> build(const Json& claims, const std::optional<std::string>& keyID,
                                                  const TokenSigner* signer);

    // header + "." + payload + "." + signature.
    std::string rawString() const;
};

} // namespace velquor::detail
