// The device-information reply as the library reads it: the service's records of the user's
// devices, each with its log request state. Plain values; thread-safe to copy.
//
// Decoding follows the wire rules (remote/wire/WireDecoding.hpp): every field is optional, a
// mistyped member anywhere (an "environment" that is text, a "createdAt" of 1.5) fails the whole
// decoding; timestamps stay plain integers.
//
//   auto reply = DevicesResponse::decode(claimsText);
//   for (const Device& device : reply->devices.value_or(std::vector<Device>{})) ...
#pragma once

#include <velquor/Velquor.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::detail {

// An object that carries only an identifier: a device's application, environment and user.
struct Application {
    std::optional<std::string> id;

    static std::optional<Application> decode(const Json& json);
    Json encode() const;
};

// The service's log request state for one device; a "status" of "PENDING" asks for an upload.
struct Logs {
    std::optional<std::string> status;
    std::optional<std::string> level;
    std::optional<std::string> supportID;
    std::optional<std::int64_t> receivedAt;

    static std::optional<Logs> decode(const Json& json);
    Json encode() const;
};

struct Device {
    std::optional<std::string> id;
    std::optional<Application> environment;
    std::optional<Logs> logs;
    std::optional<std::string> status;
    std::optional<std::int64_t> createdAt;
    std::optional<std::int64_t> updatedAt;
    std::optional<Application> user;
    std::optional<Application> application;

    static std::optional<Device> decode(const Json& json);
    Json encode() const;
};

struct DevicesResponse {
    std::optional<std::vector<Device>> devices;

    static std::optional<DevicesResponse> decode(const Json& json);
    // Parses JSON bytes first (nesting-limited); text that is not JSON fails.
    static std::optional<DevicesResponse> decode(std::string_view bytes);
    Json encode() const;
};

} // namespace velquor::detail
