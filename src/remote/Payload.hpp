// The mobile payload: a token describing this device that the host forwards to its own server.
// Its claims are the payload claim set; it is signed RS256 with the device private key once the
// device is paired ("alg" "none" and an empty signature before), with "kid" = the stored
// "mobileDeviceID" when there is one. Creating it generates the device key pair on first use.
//
//   std::string token = Payload(dataManager, platform.services.keyStore).create(); // throws Error
//
// Holds only its collaborators; runs wholly on the caller's thread; thread-safe.
#pragma once

#include "device/DataManager.hpp"
#include "state/Keychain.hpp"

#include <velquor/Platform.hpp>

#include <memory>
#include <string>

namespace velquor::detail {

class Payload {
public:
    Payload(std::shared_ptr<DataManager> dataManager, std::shared_ptr<KeyStore> keyStore);

    // The compact token text. Throws Error (code 10000, logged at ERROR) and nothing else: no
    // payload claim set 19, no device public key text 17, no private key 22, building failed 25.
    std::string create() const;

private:
    std::string createOrThrow() const;

    std::shared_ptr<DataManager> dataManager_;
    Keychain keychain_;
};

} // namespace velquor::detail
