#include "flow/FlowErrors.hpp"

#include "log/Log.hpp"
#include "remote/ErrorBuilder.hpp"

namespace velquor::detail {

Error flowError(ErrorCode code, std::uint8_t internalCode, const char* unit, const char* operation,
                const std::optional<Json>& serverError) {
    Error error = ErrorBuilder::build(code, internalCode, serverError);
    log(error, LogLevel::error, unit, __LINE__, operation);
    return error;
}

Error layerGone(const char* unit, const char* operation) {
    log("The logic layer that made this object is gone", LogLevel::error, unit, __LINE__, operation);
    return flowError(ErrorCode::internalFailure, kLayerGoneInternalCode, unit, operation);
}

} // namespace velquor::detail
