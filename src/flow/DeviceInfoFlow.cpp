#include "flow/DeviceInfoFlow.hpp"

#include "flow/FlowErrors.hpp"

namespace velquor::detail {

DeviceInfoFlow::DeviceInfoFlow(std::shared_ptr<DispatchQueues> queues)
    : queues_(std::move(queues)) {}

void DeviceInfoFlow::getDeviceInfo(const InfoCompletion& handler) const {
    handler(std::nullopt, notAvailable("getDeviceInfo(completionHandler:)"));
}

void DeviceInfoFlow::scheduleRefresh(std::function<void()> refresh) const {
    queues_->asyncMainAfter(kRefreshDelay, std::move(refresh));
}

} // namespace velquor::detail
