// Registration of the device's push token: the token and its environment are kept in memory
// (PushManager, and the sandbox flag of the device data) for pairing; on a paired device whose
// service holds another token the service is told. That exchange arrives with the transport;
// until then it answers kNotAvailableInternalCode.
//
// Thread-safe as far as its collaborators are (all are). setDeviceToken runs on the global queue
// (the logic layer moves it there) and answers there.
#pragma once

#include "device/DataManager.hpp"
#include "flow/Completion.hpp"
#include "flow/PushManager.hpp"
#include "state/Keychain.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace velquor::detail {

class PushTokenFlow {
public:
    // `push` must outlive the flow.
    PushTokenFlow(PushManager& push, std::shared_ptr<DataManager> dataManager, Keychain keychain);

    void setDeviceToken(const std::vector<std::uint8_t>& deviceToken, APNSDeviceTokenType type,
                        const ErrorCompletion& handler) const;

private:
    PushManager& push_;
    std::shared_ptr<DataManager> dataManager_;
    Keychain keychain_;
};

} // namespace velquor::detail
