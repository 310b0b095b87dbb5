#include "platform/linux/NetlinkRouteWatch.hpp"

#include <cerrno>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velquor::detail {

std::shared_ptr<NetlinkRouteWatch> NetlinkRouteWatch::open() {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0)
        return nullptr;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<NetlinkRouteWatch>(new NetlinkRouteWatch(fd));
}

NetlinkRouteWatch::~NetlinkRouteWatch() {
    ::close(fd_);
}

bool NetlinkRouteWatch::changedSinceLastCall() {
    bool changed = !asked_;
    asked_ = true;
    char buffer[8192];
    for (;;) {
        const ssize_t length = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (length > 0) {
            changed = true; // what changed does not matter: the tables are read again
            continue;
        }
        if (length < 0 && errno == EINTR)
            continue;
        // EAGAIN: nothing more queued. Anything else (ENOBUFS: announcements were dropped) may
        // hide a change.
        if (length < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            changed = true;
        return changed;
    }
}

} // namespace velquor::detail
