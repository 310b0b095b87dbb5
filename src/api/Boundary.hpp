// The public boundary's guard: no exception from inside the library reaches the host.
#pragma once

#include "flow/FlowErrors.hpp"
#include "log/Log.hpp"

#include <exception>
#include <string>

namespace velquor::detail {

// Runs `body`; an exception escaping it (the platform or start-up could not be had) is logged
// under `unit` and answered through `onFailure` with 10000 / kUnexpectedFailureInternalCode
// instead of reaching the host.
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
