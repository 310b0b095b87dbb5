// Reachability flags of a Linux system, read from the kernel's routing tables.
//
// The "any address" target is reachable when a usable default route exists:
//   - default routes are read from /proc/net/route (IPv4) and /proc/net/ipv6_route (IPv6):
//     destination and prefix all zero, the route up, not a reject ("unreachable") route;
//   - a route is usable when its interface is not the loopback (by name "lo" or link type 772)
//     and its operstate is not down, lowerlayerdown, notpresent or dormant;
//   - the path is the IPv4 default route with the lowest metric, else the best IPv6 one; on a
//     metric tie a non-cellular interface is preferred.
// Flags of the path's interface:
//   - mobile broadband (name "wwan*", or DEVTYPE=wwan in /sys/class/net/IF/uevent):
//       reachable | is WWAN                       -> "Cellular"
//   - wireless (/sys/class/net/IF/wireless or phy80211, or DEVTYPE=wlan) and any other link:
//       reachable                                 -> "WiFi"
//   - no usable default route: 0 (no reachable bit) -> no connection
// The source refuses a reference (null) when neither routing table can be read: the system
// cannot answer ("Other"). A table that becomes unreadable later makes flags() fail.
//
// Making a reference reads the tables (that is how it tells whether they can be read), and the
// reference's first flags() answers with what was read then. On the running system ("/") the
// source watches the kernel's route and link announcements (NetlinkRouteWatch): the files are
// read again only after an announcement, so each read still says what the tables say at that
// moment, for one system call while nothing changed. Below another root, or without the watch,
// every read goes to the files. A failed read is never kept. Thread-safe.
#pragma once

#include "platform/linux/RouteChangeWatch.hpp"

#include <velquor/DeviceFacts.hpp>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

namespace velquor::detail {

class LinuxReachabilityFlagSource final : public ReachabilityFlagSource {
public:
    // `root` holds proc/net/... and sys/class/net/... ("/" on a running system, watched).
    explicit LinuxReachabilityFlagSource(std::filesystem::path root = "/");
    // Files below `root` are read again only when `watch` (may be null: always) reports a change.
    LinuxReachabilityFlagSource(std::filesystem::path root, std::shared_ptr<RouteChangeWatch> watch);

    std::shared_ptr<ReachabilityReference> createWithAnyIPv4Address() override;

    // The flags for the routing tables below `root`; nullopt when neither can be read.
    static std::optional<ReachabilityFlags> readFlags(const std::filesystem::path& root);

    // What the source and its references share: the files, the watch and the last flags read.
    struct Tables {
        std::filesystem::path root;
        std::shared_ptr<RouteChangeWatch> watch;
        std::mutex mutex;
        std::optional<ReachabilityFlags> last; // guarded by mutex
        std::optional<ReachabilityFlags> read();
    };

private:
    std::shared_ptr<Tables> tables_;
};

} // namespace velquor::detail
