// What every flow works with, built once by the logic layer from its own platform. Every member is
// a cheap handle onto shared state, so a flow holds its own copy and a reply in flight keeps what
// it needs alive even when the layer that started it is gone.
#pragma once

#include "device/DataManager.hpp"
#include "flow/PushManager.hpp"
#include "platform/PlatformContext.hpp"
#include "remote/Communication.hpp"
#include "remote/RequestBuilder.hpp"
#include "remote/RequestToken.hpp"
#include "remote/ResponseHandler.hpp"
#include "remote/URLManager.hpp"
#include "state/Defaults.hpp"
#include "state/Keychain.hpp"

#include <memory>

namespace velquor::detail {

struct FlowCollaborators {
    Platform platform;
    Keychain keychain;
    Defaults defaults;
    std::shared_ptr<DataManager> dataManager;
    RequestBuilder requestBuilder;
    URLManager urlManager;
    RequestToken requestToken;
    // The process run's push token and environment; shared by the token and pairing flows.
    std::shared_ptr<PushManager> push;
    Communication communication;
    ResponseHandler responseHandler;
};

} // namespace velquor::detail
