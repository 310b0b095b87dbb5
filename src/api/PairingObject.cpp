#include "flow/Completion.hpp"
#include "flow/FlowErrors.hpp"
#include "flow/LogicLayer.hpp"

#include <velquor/Velquor.hpp>

namespace velquor {

PairingObject::PairingObject(std::string pairingKey, std::weak_ptr<detail::LogicLayer> maker)
    : pairingKey_(std::move(pairingKey))
    , maker_(std::move(maker)) {}

void PairingObject::approve(ErrorHandler completionHandler) const {
    constexpr const char* unit = "Core/PairingObject";
    constexpr const char* op = "approve(completionHandler:)";
    auto handler = detail::completion(std::move(completionHandler), unit, op);
    detail::guardBoundary(
        unit, op,
        [&] {
            if (auto layer = detail::LogicLayer::answering(maker_))
                layer->approvePairing(pairingKey_, handler);
            else
                handler(detail::layerGone(unit, op));
        },
        [&](const Error& error) { handler(error); });
}

} // namespace velquor
