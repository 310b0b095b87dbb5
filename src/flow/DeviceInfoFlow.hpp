// The device's record at the service: fetched on the host's request and refreshed 1.0 s after
// start-up and after each foreground event. The exchange arrives with the transport; until then
// a fetch answers kNotAvailableInternalCode.
//
// Thread-safe. getDeviceInfo runs on the global queue (the logic layer moves it there and applies
// the paired gate first) and answers there; the refresh runs on the main serial queue.
#pragma once

#include "flow/Completion.hpp"

#include <velquor/Platform.hpp>

#include <chrono>
#include <functional>
#include <memory>

namespace velquor::detail {

class DeviceInfoFlow {
public:
    static constexpr std::chrono::milliseconds kRefreshDelay{1000};

    explicit DeviceInfoFlow(std::shared_ptr<DispatchQueues> queues);

    void getDeviceInfo(const InfoCompletion& handler) const;
    // Runs `refresh` on the main queue kRefreshDelay from now.
    void scheduleRefresh(std::function<void()> refresh) const;

private:
    std::shared_ptr<DispatchQueues> queues_;
};

} // namespace velquor::detail
