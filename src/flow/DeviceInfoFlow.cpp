#include "flow/DeviceInfoFlow.hpp"

#include "flow/FlowErrors.hpp"

namespace velquor::detail {

DeviceInfoFlow::DeviceInfoFlow(FlowCollaborators collaborators)
    : c_(std::move(collaborators)) {}

void DeviceInfoFlow::getDeviceInfo(const InfoCompletion& handler, std::function<void()>) const {
    handler(std::nullopt, notAvailable("getDeviceInfo(completionHandler:)"));
}

void DeviceInfoFlow::scheduleRefresh(std::function<void()> refresh) const {
    c_.platform.services.queues->asyncMainAfter(kRefreshDelay, std::move(refresh));
}

} // namespace velquor::detail
