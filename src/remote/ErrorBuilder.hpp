// Builds every error value that reaches the host. Stateless and thread-safe; it never fails and
// never logs (callers log the result at ERROR).
#pragma once

#include "remote/PlatformError.hpp"

#include <velquor/Velquor.hpp>

#include <cstdint>
#include <optional>

namespace velquor::detail {

class ErrorBuilder {
public:
    // Pass a service error object or an underlying error or neither, never both.
    static Error build(ErrorCode code, std::uint8_t internalCode,
                       const std::optional<Json>& serverError = std::nullopt,
                       const std::optional<PlatformError>& error = std::nullopt);
};

} // namespace velquor::detail
