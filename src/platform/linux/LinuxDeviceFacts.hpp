// Device and permission facts of a Linux system.
//
//   system version   VERSION_ID of os-release (/etc/os-release, else /usr/lib/os-release), else
//                    its PRETTY_NAME ("12", or "Debian GNU/Linux trixie/sid")
//   device name      the host name (gethostname)
//   model identifier the machine of uname ("x86_64", "aarch64")
//   locale           the first non-empty of LC_ALL, LC_MESSAGES, LANG: "en_US.UTF-8" and
//                    "en_US@euro" give language "en", region "US"; "C" and "POSIX" give neither
//   permissions      Linux has no per-application grant for camera, location, push or background
//                    refresh that a library could query: every status is nullopt ("unknown"),
//                    location services are "cannot tell" (nullopt), and the device-owner policy
//                    is reported as not evaluable (lock "false")
//
// Texts that are not valid UTF-8 (a stray byte in a host name or in os-release) are cleaned,
// each bad sequence becoming U+FFFD. The notification status is delivered on the global queue.
//
// The system version and the model cannot change while the process runs: they are read once,
// when the facts are made. Every other answer is read afresh (a host name may change).
//
// Thread-safe: holds its sources and the two facts read at construction.
#pragma once

#include <velquor/DeviceFacts.hpp>
#include <velquor/Platform.hpp>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velquor::detail {

class LinuxDeviceFacts final : public DeviceFacts {
public:
    // Where the facts come from; empty functions mean the running system.
    struct Sources {
        // os-release is looked up below this directory.
        std::filesystem::path root = "/";
        std::function<std::optional<std::string>()> hostName;
        std::function<std::optional<std::string>()> machine;
        std::function<std::optional<std::string>(const std::string& name)> environment;
    };

    // `queues` (not null) carries the asynchronous notification status answer.
    explicit LinuxDeviceFacts(std::shared_ptr<DispatchQueues> queues);
    LinuxDeviceFacts(std::shared_ptr<DispatchQueues> queues, Sources sources);

    std::optional<std::string> systemVersion() const override;
    std::optional<std::string> deviceName() const override;
    std::optional<std::string> modelIdentifier() const override;
    Locale currentLocale() const override;
    std::optional<int> cameraAuthorizationStatus() const override { return std::nullopt; }
    std::optional<bool> locationServicesEnabled() const override { return std::nullopt; }
    std::optional<int> locationAuthorizationStatus() const override { return std::nullopt; }
    bool canEvaluateDeviceOwnerAuthentication() const override { return false; }
    void requestNotificationAuthorizationStatus(NotificationStatusHandler handler) override;
    std::optional<int> backgroundRefreshStatus() const override { return std::nullopt; }

    // The value of `key` in os-release text (shell-style quoting and escapes), if any.
    static std::optional<std::string> osReleaseValue(const std::string& text, const std::string& key);
    // Language and region of a POSIX locale name ("en_US.UTF-8").
    static Locale parseLocaleName(const std::string& name);

private:
    static std::optional<std::string> readSystemVersion(const std::filesystem::path& root);

    std::shared_ptr<DispatchQueues> queues_;
    Sources sources_;
    std::optional<std::string> systemVersion_;
    std::optional<std::string> modelIdentifier_;
};

} // namespace velquor::detail
