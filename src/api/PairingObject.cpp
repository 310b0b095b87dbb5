#include "flow/Completion.hpp"
#include "flow/LogicLayer.hpp"
#include "log/Log.hpp"
#include "remote/ErrorBuilder.hpp"

#include <velquor/Velquor.hpp>

namespace velquor {

PairingObject::PairingObject(std::string pairingKey)
    : pairingKey_(std::move(pairingKey)) {}

void PairingObject::approve(ErrorHandler completionHandler) const {
    constexpr const char* op = "approve(completionHandler:)";
    auto handler = detail::completion(std::move(completionHandler), "Core/PairingObject", op);
    try {
        detail::LogicLayer::shared().approvePairing(pairingKey_, handler);
    } catch (...) {
        try {
            Error error = detail::ErrorBuilder::build(ErrorCode::internalFailure,
                                                      detail::LogicLayer::kUnexpectedFailureInternalCode);
            detail::log(error, detail::LogLevel::error, "Core/PairingObject", __LINE__, op);
            handler(error);
        } catch (...) {
        }
    }
}

} // namespace velquor
