// The errors the logic layer and its flows answer with, each logged at ERROR where it is made,
// and the internal codes that belong to no single flow. Stateless; thread-safe.
#pragma once

#include <velquor/Velquor.hpp>

#include <cstdint>
#include <optional>

namespace velquor::detail {

// The log's unit for the logic layer and every flow it runs.
inline constexpr const char* kLogicLayerUnit = "Core/LogicLayer";
// An unexpected failure inside the library (an exception caught at the boundary).
inline constexpr std::uint8_t kUnexpectedFailureInternalCode = 254;
// A value object whose logic layer no longer exists was asked to answer.
inline constexpr std::uint8_t kLayerGoneInternalCode = 253;

// Builds the error, logs it at ERROR under `unit` and `operation`, and returns it.
Error flowError(ErrorCode code, std::uint8_t internalCode, const char* unit, const char* operation,
                const std::optional<Json>& serverError = std::nullopt);
// 10000 / kLayerGoneInternalCode.
Error layerGone(const char* unit, const char* operation);

} // namespace velquor::detail
