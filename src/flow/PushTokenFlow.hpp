// Registration of the device's push token: the token and its environment are kept in memory
// (PushManager, and the sandbox flag of the device data) for pairing; on a paired device whose
// service holds another token the service is told, and the token is stored once it has it.
//
// Thread-safe as far as its collaborators are (all are). setDeviceToken runs on the global queue
// (the logic layer moves it there); it answers there when nothing is sent (no error when there
// is nothing to tell the service), otherwise on the transport's reply thread.
#pragma once

#include "device/DataManager.hpp"
#include "flow/Completion.hpp"
#include "flow/FlowCollaborators.hpp"
#include "flow/PushManager.hpp"
#include "state/Keychain.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace velquor::detail {

class PushTokenFlow : public std::enable_shared_from_this<PushTokenFlow> {
public:
    explicit PushTokenFlow(FlowCollaborators collaborators);

    // Paired, token changed, no installed application id stored: 10000/6. An update the service
    // refuses: the exchange's error, the stored token unchanged.
    void setDeviceToken(const std::vector<std::uint8_t>& deviceToken, APNSDeviceTokenType type,
                        const ErrorCompletion& handler) const;

private:
    const FlowCollaborators c_;
};

} // namespace velquor::detail
