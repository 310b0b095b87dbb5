#include "flow/DeviceInfoFlow.hpp"

#include "state/ItemNames.hpp"

namespace velquor::detail {

DeviceInfoFlow::DeviceInfoFlow(FlowCollaborators collaborators)
    : c_(std::move(collaborators)) {}

void DeviceInfoFlow::getDeviceInfo(const InfoCompletion& handler, std::function<void()> sendLogs) const {
    const std::string& baseURL =
        c_.urlManager.baseURLForDataCenter(c_.keychain.getString(items::kDataCenter).text);
    c_.communication.post(c_.requestBuilder.deviceInfoRequest(baseURL),
                          [self = shared_from_this(), handler, sendLogs = std::move(sendLogs)](
                              std::optional<Json> claims, std::optional<Error> error) {
                              if (error || !claims)
                                  return handler(std::nullopt, std::move(error));
                              self->c_.responseHandler.deviceInfo(*claims, sendLogs, handler);
                          });
}

void DeviceInfoFlow::scheduleRefresh(std::function<void()> refresh) const {
    c_.platform.services.queues->asyncMainAfter(kRefreshDelay, std::move(refresh));
}

} // namespace velquor::detail
