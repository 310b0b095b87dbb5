#include "platform/linux/ProcessExit.hpp"

#include <openssl/crypto.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace velquor::detail {

namespace {
// Constant-initialised and trivially destructible: usable during static destruction.
std::atomic<bool> gExiting{false};
std::atomic<bool> gRegistered{false};

void markExiting() noexcept {
    gExiting.store(true, std::memory_order_release);
}

// Asked once more when the library is loaded, ahead of ordinary static initialisers: a host (or
// its tests) may use OpenSSL from one of those, and only a request made before OpenSSL's first
// use is honoured.
__attribute__((constructor(101))) void keepOpenSSLAtExit() {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
}
} // namespace

void ProcessExit::watch() noexcept {
    bool expected = false;
    if (gRegistered.compare_exchange_strong(expected, true)) {
        // OpenSSL would free its global state at exit while a task still running on one of
        // our threads may be signing or hashing. Asking before OpenSSL's first use keeps it.
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
        std::atexit(markExiting);
    }
}

bool ProcessExit::exiting() noexcept {
    return gExiting.load(std::memory_order_acquire);
}

} // namespace velquor::detail
