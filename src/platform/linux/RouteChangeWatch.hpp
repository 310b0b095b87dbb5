// Tells whether the system's routes or network links may have changed since it was last asked,
// so that reachability flags read from the routing tables can be kept until they might be stale.
//
//   if (!watch->changedSinceLastCall())
//       return lastFlags; // the tables say what they said then
#pragma once

namespace velquor::detail {

// Implementations say whether they are thread-safe; LinuxReachabilityFlagSource calls one under
// its lock. No callbacks.
class RouteChangeWatch {
public:
    virtual ~RouteChangeWatch() = default;
    // True when a route or link may have changed since the previous call, and on the first call.
    // When in doubt (a notification lost, an error), true.
    virtual bool changedSinceLastCall() = 0;
};

} // namespace velquor::detail
