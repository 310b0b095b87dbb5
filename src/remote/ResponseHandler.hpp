// Reads the two replies that carry more than success or failure: the pairing reply (the device's
// identities at the service and the service's public key, stored in the key store) and the
// device-information reply (the record handed to the host, and possibly a request for the logs).
//
//   ResponseHandler handler{Keychain(store)};
//   handler.pairing(claims, [&](auto id, auto status, auto error) { statusStep(id, status, error); },
//                   hostHandler);
//
// Holds only its key store handle; thread-safe. Both operations run on the caller's thread (the
// transport's reply thread) and call exactly one of their callbacks once; every error they build
// is logged at ERROR.
#pragma once

#include "state/Keychain.hpp"

#include <velquor/Velquor.hpp>

#include <functional>
#include <optional>
#include <string>

namespace velquor::detail {

class ResponseHandler {
public:
    // The pairing flow's next step, with the reply's pairing id and status.
    using StatusStep = std::function<void(std::optional<std::string> pairingId, std::string status,
                                          std::optional<Error> error)>;
    using ErrorHandler = std::function<void(std::optional<Error>)>;
    // Exactly one argument is present.
    using DeviceInfoHandler =
        std::function<void(std::optional<Json> publicRecord, std::optional<Error> error)>;

    explicit ResponseHandler(Keychain keychain);

    // Stores "mobileDeviceID", "deviceMarketName", "installedApplicationID" and the service key
    // when the reply carries them, then calls `statusStep`. Fails through `handler`, code 10000:
    // claims not serialisable 2, not a pairing reply 3 (nothing stored), service key not storable
    // 4 or 5 (the identities stay stored).
    void pairing(const Json& claims, const StatusStep& statusStep, const ErrorHandler& handler) const;

    // Calls `handler` (when given) with the reply's "public" object, after calling `sendLogs`
    // once when any listed device's log status is exactly "PENDING". Fails, code 10000: "public"
    // missing or not an object 52, claims not serialisable 49, not a devices reply 50, "devices"
    // absent 53; no upload is started then.
    void deviceInfo(const Json& claims, const std::function<void()>& sendLogs,
                    const DeviceInfoHandler& handler) const;

private:
    Keychain keychain_;
};

} // namespace velquor::detail
