// The process's platform: the configured (or default Linux) services and the resolved
// configuration. Logic code reaches the platform only through here or through collaborators
// handed to its constructor.
#pragma once

#include <velquor/Velquor.hpp>

#include <filesystem>
#include <string>

namespace velquor::detail {

// Configuration with every default filled in.
struct ResolvedConfiguration {
    std::string northAmericaBaseURL;
    std::string europeBaseURL;
    std::string asiaPacificBaseURL;
    std::filesystem::path keyStoreDirectory;
    std::filesystem::path applicationDirectory;
    // Empty: the system trust store.
    std::filesystem::path trustedCertificates;
    HostApplication hostApplication;
};

// All members of `services` are non-null.
struct Platform {
    PlatformServices services;
    ResolvedConfiguration configuration;
};

// Thread-safe.
class PlatformContext {
public:
    // Accepted only before the first get(); returns false afterwards and changes nothing. Also
    // false, though kept, when a directory it leaves out has no safe default (no home
    // directory): the key store then fails every call and no settings suite opens.
    static bool configure(Configuration configuration);
    // The process's platform; the first call resolves and freezes the configuration. The
    // platform is never destroyed (threads may use it until the process has ended).
    static const Platform& get();
    // Whether get() has finished resolving; never resolves nor waits. The log asks this so that
    // lines logged before (or while) the platform is resolved do not resolve it.
    static bool isResolved() noexcept;
    // Fills in the defaults of `configuration` without touching the process's platform.
    // Null services become new Linux implementations built from the resolved configuration,
    // except the queues: a process has one main queue, so those are always the process-wide
    // ThreadPoolDispatchQueues. Creates no directory; never fails on a missing one.
    static Platform resolve(Configuration configuration);
};

} // namespace velquor::detail
