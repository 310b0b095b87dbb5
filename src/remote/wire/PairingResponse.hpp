// The pairing reply: the pairing id and its status, the service's identifiers of this device and
// of this installation of the host application, and the service's public key. Plain values;
// thread-safe to copy.
//
// Decoding follows the wire rules (remote/wire/WireDecoding.hpp): "id" and "status" are required
// text, every other field is optional, a mistyped member fails the whole decoding.
//
//   auto reply = PairingResponse::decode(R"({"id": "p1", "status": "PENDING_ACK"})");
//   if (reply && reply->status == "PENDING_ACK") finalize(reply->id);
#pragma once

#include <velquor/Velquor.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace velquor::detail {

struct MobileDevice {
    std::optional<std::string> id;
    std::optional<std::string> marketingName;

    static std::optional<MobileDevice> decode(const Json& json);
    Json encode() const;
};

struct InstalledApplication {
    std::optional<std::string> id;

    static std::optional<InstalledApplication> decode(const Json& json);
    Json encode() const;
};

struct PairingResponse {
    std::optional<MobileDevice> mobileDevice;
    std::optional<InstalledApplication> installedApplication;
    std::string id;
    std::string status;
    // Base64 of the service's RSA public key.
    std::optional<std::string> serverPublicKey;

    static std::optional<PairingResponse> decode(const Json& json);
    // Parses JSON bytes first (nesting-limited); text that is not JSON fails.
    static std::optional<PairingResponse> decode(std::string_view bytes);
    Json encode() const;
};

} // namespace velquor::detail
