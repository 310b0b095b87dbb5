// The service's error object, its details and their inner error, as the service sends them
// inside error replies and identity-token enrollments. Plain values; thread-safe to copy.
//
// Decoding follows the wire rules (Responses/WireDecoding.hpp): every field is optional, missing
// or null leaves it absent, a mistyped member fails the whole decoding.
#pragma once

#include <velquor/Velquor.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::detail {

struct InnerError {
    std::optional<std::string> expected;
    std::optional<std::string> actual;

    static std::optional<InnerError> decode(const Json& json);
    Json encode() const;
};

struct Details {
    std::optional<InnerError> innerError;
    std::optional<std::string> target;
    std::optional<std::string> code;
    std::optional<std::string> message;

    static std::optional<Details> decode(const Json& json);
    Json encode() const;
};

struct ServerErrorResponse {
    std::optional<std::vector<Details>> details;
    std::optional<std::string> id;
    std::optional<std::string> code;
    std::optional<std::string> message;

    static std::optional<ServerErrorResponse> decode(const Json& json);
    // Parses JSON bytes first; text that is not JSON fails.
    static std::optional<ServerErrorResponse> decode(std::string_view bytes);
    Json encode() const;
};

} // namespace velquor::detail
