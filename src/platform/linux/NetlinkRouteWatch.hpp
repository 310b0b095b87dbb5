// The running system's route and link changes, as the kernel announces them on a routing netlink
// socket (IPv4 and IPv6 routes, links and their operational state).
//
//   std::shared_ptr<RouteChangeWatch> watch = NetlinkRouteWatch::open(); // null: unavailable
#pragma once

#include "platform/linux/RouteChangeWatch.hpp"

#include <memory>

namespace velquor::detail {

// Not thread-safe: one caller at a time (LinuxReachabilityFlagSource holds its lock). No callbacks.
// The kernel queues each announcement on the socket as the change is made, so a call made after a
// change has completed always sees it; one that did not fit the socket's buffer makes the socket
// report an overflow, which counts as a change too.
class NetlinkRouteWatch final : public RouteChangeWatch {
public:
    // Null when no such socket can be made or subscribed here.
    static std::shared_ptr<NetlinkRouteWatch> open();
    ~NetlinkRouteWatch() override;
    NetlinkRouteWatch(const NetlinkRouteWatch&) = delete;
    NetlinkRouteWatch& operator=(const NetlinkRouteWatch&) = delete;

    // Reads every announcement queued since the last call, without waiting: one system call when
    // there are none.
    bool changedSinceLastCall() override;

private:
    explicit NetlinkRouteWatch(int fd)
        : fd_(fd) {}

    int fd_;
    bool asked_ = false;
};

} // namespace velquor::detail
