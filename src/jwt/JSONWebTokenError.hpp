// Why a compact token could not be parsed (or an algorithm name not read). A plain value.
#pragma once

#include <optional>
#include <string>

namespace velquor::detail {

// A segment of a compact token.
enum class JSONWebTokenPart { header, payload, signature };

// "header", "payload" or "signature".
const char* toString(JSONWebTokenPart part) noexcept;

struct JSONWebTokenError {
    // In declaration order; parsing raises the first failing check, in the order of the fields
    // of a token (structure, Base64URL of each segment, header JSON, "typ", "alg", payload JSON).
    enum class Kind {
        cannotDecodeBase64Part,    // part, text = the segment
        invalidJSON,               // part, text = the JSON reader's message
        invalidJSONStructure,      // part
        invalidSignatureAlgorithm, // text = the whole "alg" name as given
        badTokenStructure,
        typeIsNotAJSONWebToken,
        missingSignatureAlgorithm,
    };

    Kind kind;
    std::optional<JSONWebTokenPart> part;
    std::string text;

    bool operator==(const JSONWebTokenError&) const = default;
    // One line for the log, e.g. "invalidJSON(header, <reader message>)".
    std::string description() const;
};

} // namespace velquor::detail
