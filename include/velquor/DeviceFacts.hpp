// Device, permission and network facts: the platform questions behind the device description
// that travels in every request token and in the mobile payload.
//
// Both interfaces answer in the platform's raw terms (integers, optional texts, flag bits); the
// library maps them to the texts the service expects. A missing answer (std::nullopt) is always
// allowed and becomes "unknown", "" or "Other" in the description, never an error. A host on
// another system replaces them through PlatformServices (<velquor/Platform.hpp>):
//
// ```cpp nocompile
// services->deviceFacts = std::make_shared<MyPhoneFacts>();          // : velquor::DeviceFacts
// services->reachabilityFlags = std::make_shared<MyRouteWatcher>();  // : velquor::ReachabilityFlagSource
// ```
//
// When the library asks: the notification and background-refresh questions at start-up and on
// each foreground event; the others each time it describes the device (every request, every
// mobile payload), and systemVersion() and modelIdentifier() for every log line too, on whichever
// thread is working. So every answer must be quick and must not call `velquor::Velquor`.
//
// Every implementation must be safe to call from any thread at the same time.
#pragma once

#include <velquor/Export.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velquor {

class VELQUOR_EXPORT DeviceFacts {
public:
    virtual ~DeviceFacts() = default;

    // The operating system version as the system reports it ("13.3", "12").
    virtual std::optional<std::string> systemVersion() const = 0;
    // The user-visible device name.
    virtual std::optional<std::string> deviceName() const = 0;
    // The hardware model identifier ("iPhone12,1", "x86_64").
    virtual std::optional<std::string> modelIdentifier() const = 0;

    struct Locale {
        std::optional<std::string> languageCode; // "en"
        std::optional<std::string> regionCode;   // "US"
    };
    virtual Locale currentLocale() const = 0;

    // Camera (video) authorisation: 0 not determined, 1 restricted, 2 denied, 3 authorised.
    virtual std::optional<int> cameraAuthorizationStatus() const = 0;
    // false: location services are switched off; nullopt: the system cannot tell.
    virtual std::optional<bool> locationServicesEnabled() const = 0;
    // 0 not determined, 1 restricted, 2 denied, 3 always, 4 when in use.
    virtual std::optional<int> locationAuthorizationStatus() const = 0;
    // Whether the device-owner authentication policy can be evaluated (a passcode or biometry
    // is set up).
    virtual bool canEvaluateDeviceOwnerAuthentication() const = 0;

    // Notification authorisation: 0 not determined, 1 denied, 2 authorised, 3 provisional.
    // `handler` is called exactly once, later, on a thread of the implementation's choosing
    // (never inside this call), even when the system has no answer (std::nullopt).
    using NotificationStatusHandler = std::function<void(std::optional<int> status)>;
    virtual void requestNotificationAuthorizationStatus(NotificationStatusHandler handler) = 0;

    // Background refresh: 0 restricted, 1 denied, 2 available. The library reads it on the main
    // queue.
    virtual std::optional<int> backgroundRefreshStatus() const = 0;
};

// The flags of one reachability target, as returned by ReachabilityReference::flags().
using ReachabilityFlags = std::uint32_t;

// One target: "is there a path to this address, and of which kind". The library reads the flags
// when it asks; it never asks to be told about changes.
class VELQUOR_EXPORT ReachabilityReference {
public:
    virtual ~ReachabilityReference() = default;

    // The current flags, or nullopt when they cannot be read right now.
    virtual std::optional<ReachabilityFlags> flags() = 0;
};

class VELQUOR_EXPORT ReachabilityFlagSource {
public:
    static constexpr ReachabilityFlags kReachable = 0x2;
    static constexpr ReachabilityFlags kConnectionRequired = 0x4;
    static constexpr ReachabilityFlags kConnectionOnTraffic = 0x8;
    static constexpr ReachabilityFlags kInterventionRequired = 0x10;
    static constexpr ReachabilityFlags kConnectionOnDemand = 0x20;
    static constexpr ReachabilityFlags kIsWWAN = 0x40000;

    virtual ~ReachabilityFlagSource() = default;

    // A reference for the IPv4 any-address 0.0.0.0 (a route to anywhere). Null when the source
    // refuses: it cannot answer reachability questions at all.
    virtual std::shared_ptr<ReachabilityReference> createWithAnyIPv4Address() = 0;
};

} // namespace velquor
