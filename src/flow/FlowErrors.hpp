// The errors the logic layer and its flows answer with, each logged at ERROR where it is made,
// the internal codes that belong to no single flow, and the guard that keeps an exception from
// crossing into host code. Stateless; thread-safe.
#pragma once

#include "log/Log.hpp"

#include <velquor/Velquor.hpp>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

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

// Runs `body`; an exception escaping it (the platform or start-up could not be had, a host service threw) is
// logged under `unit` and answered through `onFailure` with 10000 / kUnexpectedFailureInternalCode instead of
// reaching the host.
template <typename Body, typename OnFailure>
void guardBoundary(const char* unit, const char* operation, Body&& body, OnFailure&& onFailure) noexcept {
    try {
        body();
        return;
    } catch (const std::exception& e) {
        log(std::string("Unexpected failure: ") + e.what(), LogLevel::error, unit, __LINE__, operation);
    } catch (...) {
        log("Unexpected failure", LogLevel::error, unit, __LINE__, operation);
    }
    try {
        onFailure(flowError(ErrorCode::internalFailure, kUnexpectedFailureInternalCode, unit, operation));
    } catch (...) {
    }
}

} // namespace velquor::detail
