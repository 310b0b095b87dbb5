// Tells the platform's threads that the process has begun to exit.
//
// Once std::exit has started (returning from main included), the static objects of the process
// are being destroyed; a task that starts now may touch one that is already gone. The queues of
// this folder therefore start no further task once exiting() is true: what is still queued is
// abandoned (neither run nor destroyed), and only a task already running finishes.
#pragma once

namespace velquor::detail {

// Thread-safe; all members are static.
class ProcessExit {
public:
    // Registers, once per process, the handler that sets the flag at exit. Called by every queue
    // constructor, so the handler runs before the destructors of statics built before the queue.
    // Also asks OpenSSL not to free its global state at exit (effective when OpenSSL was not
    // initialised before), since tasks still running then may use it.
    static void watch() noexcept;
    static bool exiting() noexcept;
};

} // namespace velquor::detail
