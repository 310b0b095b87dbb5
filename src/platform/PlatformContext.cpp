#include "platform/PlatformContext.hpp"

#include "log/Log.hpp"
#include "log/LogTapOnly.hpp"
#include "platform/linux/ConfiguredBundleInfo.hpp"
#include "platform/linux/CurlHttpTransport.hpp"
#include "platform/linux/FileKeyStore.hpp"
#include "platform/linux/FilePreferences.hpp"
#include "platform/linux/LinuxDeviceFacts.hpp"
#include "platform/linux/LinuxNotificationCenter.hpp"
#include "platform/linux/LinuxReachabilityFlagSource.hpp"
#include "platform/linux/PathComponent.hpp"
#include "platform/linux/ProcessExit.hpp"
#include "platform/linux/StdoutConsole.hpp"
#include "platform/linux/ThreadPoolDispatchQueues.hpp"
#include "platform/linux/UnavailableKeyStore.hpp"
#include "platform/linux/UnavailablePreferences.hpp"

#include "velquor_build/BuildConstants.hpp"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <system_error>

#include <openssl/sha.h>

#include <pwd.h>
#include <unistd.h>

namespace velquor::detail {

namespace {

// Process-wide state. Plain pointers, never freed: the platform must outlive every static
// destructor and every thread still running at exit.
std::mutex& contextMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
Configuration* gPendingConfiguration = nullptr; // guarded by contextMutex()
bool gFrozen = false;                           // guarded by contextMutex()
std::once_flag gResolveOnce;
const Platform* gPlatform = nullptr;
std::atomic<bool> gResolved{false};

// Nothing when the user has no home: a shared directory such as /tmp would let another local
// user plant the key store there beforehand.
std::optional<std::filesystem::path> homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
        return home;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
    struct passwd entry {};
    struct passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr && result->pw_dir[0] == '/')
        return result->pw_dir;
    return std::nullopt;
}

// $XDG_DATA_HOME, or ~/.local/share when it is unset or not absolute; nothing without either.
std::optional<std::filesystem::path> dataHome() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/')
        return data;
    auto home = homeDirectory();
    if (!home)
        return std::nullopt;
    return *home / ".local" / "share";
}

bool needsDefaultDirectory(const Configuration& configuration) {
    return configuration.keyStoreDirectory.empty() || configuration.applicationDirectory.empty();
}

// The host's bundle identifier. Without one: the executable's name followed by a hash of its
// canonical path, so two programs of the same name never share a key store.
std::string storageIdentity(const HostApplication& host) {
    if (!host.bundleIdentifier.empty())
        return host.bundleIdentifier;
    std::error_code ec;
    const auto executable = std::filesystem::canonical("/proc/self/exe", ec);
    if (ec || executable.filename().empty())
        return "velquor-host";
    const std::string path = executable.string();
    unsigned char hash[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(path.data()), path.size(), hash);
    static const char digits[] = "0123456789abcdef";
    std::string identity = executable.filename().string() + "-";
    for (std::size_t i = 0; i < 8; ++i) {
        identity += digits[hash[i] >> 4];
        identity += digits[hash[i] & 0xF];
    }
    return identity;
}

std::string orDefault(const std::string& value, const char* fallback) {
    return value.empty() ? fallback : value;
}

Platform resolveWith(Configuration configuration, std::shared_ptr<DispatchQueues> defaultQueues) {
    Platform platform;
    ResolvedConfiguration& resolved = platform.configuration;
    resolved.northAmericaBaseURL = orDefault(configuration.northAmericaBaseURL, build::kNorthAmericaBaseURL);
    resolved.europeBaseURL = orDefault(configuration.europeBaseURL, build::kEuropeBaseURL);
    resolved.asiaPacificBaseURL = orDefault(configuration.asiaPacificBaseURL, build::kAsiaPacificBaseURL);
    resolved.trustedCertificates = configuration.trustedCertificates;
    resolved.hostApplication = configuration.hostApplication;

    // Per host, under the user's data directory. The key store sits outside the application
    // directory: removing the application directory (a reinstall) must leave it in place.
    // Without a safe default the missing directories stay empty and the stores that need them
    // are the failing ones below.
    bool unavailable = false;
    if (needsDefaultDirectory(configuration)) {
        if (const auto data = dataHome()) {
            const auto root = *data / "velquor";
            const auto identity = PathComponent::encode(storageIdentity(configuration.hostApplication));
            if (configuration.keyStoreDirectory.empty())
                configuration.keyStoreDirectory = root / "keystore" / identity;
            if (configuration.applicationDirectory.empty())
                configuration.applicationDirectory = root / "applications" / identity;
        } else {
            unavailable = true;
            VQ_LOG(LogLevel::error, "platform/PlatformContext", "resolve",
                   std::string("No home directory and no ") +
                       (configuration.keyStoreDirectory.empty() ? "key store" : "application") +
                       " directory configured: the key store and settings are unavailable");
        }
    }
    resolved.keyStoreDirectory = configuration.keyStoreDirectory;
    resolved.applicationDirectory = configuration.applicationDirectory;

    // The host's services, copied so its own object is never changed; null members get the
    // Linux implementation.
    PlatformServices& services = platform.services;
    if (configuration.platform)
        services = *configuration.platform;
    if (!services.queues)
        services.queues = std::move(defaultQueues);
    if (!services.notificationCenter)
        services.notificationCenter = std::make_shared<LinuxNotificationCenter>();
    if (!services.keyStore && unavailable)
        services.keyStore = std::make_shared<UnavailableKeyStore>();
    if (!services.keyStore)
        services.keyStore = std::make_shared<FileKeyStore>(resolved.keyStoreDirectory);
    if (!services.preferences && unavailable)
        services.preferences = std::make_shared<UnavailablePreferences>();
    if (!services.preferences)
        services.preferences = std::make_shared<FilePreferences>(resolved.applicationDirectory);
    if (!services.bundle)
        services.bundle =
            std::make_shared<ConfiguredBundleInfo>(resolved.hostApplication, resolved.applicationDirectory);
    if (!services.console)
        services.console = std::make_shared<StdoutConsole>();
    if (!services.deviceFacts)
        services.deviceFacts = std::make_shared<LinuxDeviceFacts>(services.queues);
    if (!services.reachabilityFlags)
        services.reachabilityFlags = std::make_shared<LinuxReachabilityFlagSource>();
    if (!services.http)
        services.http = std::make_shared<CurlHttpTransport>(resolved.trustedCertificates);
    return platform;
}

} // namespace

bool PlatformContext::configure(Configuration configuration) {
    // Read before the lock: the environment and the password database are the host's.
    const bool safe = !needsDefaultDirectory(configuration) || dataHome().has_value();
    std::lock_guard lock(contextMutex());
    if (gFrozen)
        return false;
    if (gPendingConfiguration == nullptr)
        gPendingConfiguration = new Configuration(std::move(configuration));
    else
        *gPendingConfiguration = std::move(configuration);
    return safe;
}

const Platform& PlatformContext::get() {
    std::call_once(gResolveOnce, [] {
        const LogTapOnly tapOnly; // the log waits for this platform: what resolving logs goes to the tap
        ProcessExit::watch();     // first: before any OpenSSL use of the library (see ProcessExit)
        // The time zone is read from the environment here, once, on the host's thread; local
        // time conversions on the library's threads then never read the environment.
        ::tzset();
        Configuration configuration;
        {
            std::lock_guard lock(contextMutex());
            gFrozen = true; // from here on configure() answers false, even while we resolve
            if (gPendingConfiguration != nullptr)
                configuration = *gPendingConfiguration;
        }
        // Leaked on purpose: threads may use the platform until the process has ended.
        gPlatform =
            new Platform(resolveWith(std::move(configuration), ThreadPoolDispatchQueues::processWide()));
        // Lines logged on the main queue say "Main" from the first task on.
        registerMainQueues(gPlatform->services.queues);
        gResolved.store(true, std::memory_order_release);
    });
    return *gPlatform;
}

bool PlatformContext::isResolved() noexcept {
    return gResolved.load(std::memory_order_acquire);
}

Platform PlatformContext::resolve(Configuration configuration) {
    // The process has one main queue: the defaults share the process-wide queues.
    return resolveWith(std::move(configuration), ThreadPoolDispatchQueues::processWide());
}

} // namespace velquor::detail
