// The device's record at the service: fetched on the host's request and refreshed 1.0 s after
// start-up and after each foreground event, from the data center the device paired in.
//
// Thread-safe. getDeviceInfo runs on the global queue (the logic layer moves it there and applies
// the paired gate first) and answers on the transport's reply thread (on the global queue only
// when the request cannot be prepared); the refresh runs on the main serial queue.
#pragma once

#include "flow/Completion.hpp"
#include "flow/FlowCollaborators.hpp"

#include <velquor/Platform.hpp>

#include <chrono>
#include <functional>
#include <memory>

namespace velquor::detail {

class DeviceInfoFlow : public std::enable_shared_from_this<DeviceInfoFlow> {
public:
    static constexpr std::chrono::milliseconds kRefreshDelay{1000};

    explicit DeviceInfoFlow(FlowCollaborators collaborators);

    // `sendLogs` starts the log upload a reply asks for. The handler gets the reply's "public"
    // record, or the error of the exchange or of the reading of the reply.
    void getDeviceInfo(const InfoCompletion& handler, std::function<void()> sendLogs) const;
    // Runs `refresh` on the main queue kRefreshDelay from now.
    void scheduleRefresh(std::function<void()> refresh) const;

private:
    const FlowCollaborators c_;
};

} // namespace velquor::detail
