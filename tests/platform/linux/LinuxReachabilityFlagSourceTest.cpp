#include "platform/linux/LinuxReachabilityFlagSource.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>

namespace velquor::detail {
namespace {

using Source = ReachabilityFlagSource;

constexpr const char* kHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

// One /proc/net/route line.
std::string ipv4Route(const std::string& interfaceName, const std::string& destination,
                      const std::string& flags, int metric, const std::string& mask = "00000000") {
    return interfaceName + "\t" + destination + "\t010200C0\t" + flags + "\t0\t0\t" + std::to_string(metric) +
           "\t" + mask + "\t0\t0\t0\n";
}

// One /proc/net/ipv6_route line.
std::string ipv6Route(const std::string& interfaceName, const std::string& destination,
                      const std::string& prefix, const std::string& metric, const std::string& flags) {
    return destination + " " + prefix +
           " 00000000000000000000000000000000 00 fd000000000000000000000000000001 " + metric +
           " 00000001 00000000 " + flags + " " + interfaceName + "\n";
}

// A default route through `interfaceName`.
std::string defaultRoute(const std::string& interfaceName, int metric = 0,
                         const std::string& flags = "0003") {
    return ipv4Route(interfaceName, "00000000", flags, metric);
}

// Reports a change when the test says one happened.
class ScriptedWatch : public RouteChangeWatch {
public:
    bool changedSinceLastCall() override { return changed.exchange(false); }
    std::atomic<bool> changed{true};
};

const std::string kAnyIPv6 = "00000000000000000000000000000000";

class LinuxReachabilityFlagSourceTest : public ::testing::Test {
protected:
    void write(const std::string& relative, const std::string& text) {
        test::writeFile(root.path() / relative, text);
    }
    void routes(const std::string& lines) { write("proc/net/route", kHeader + lines); }
    void link(const std::string& name, const std::string& operstate = "up", const std::string& uevent = "") {
        write("sys/class/net/" + name + "/operstate", operstate + "\n");
        write("sys/class/net/" + name + "/type", "1\n");
        write("sys/class/net/" + name + "/uevent", "INTERFACE=" + name + "\nIFINDEX=3\n" + uevent);
    }

    test::TempDir root;
};

// Mobile broadband (by name or device type) adds the WWAN bit; the lowest metric decides, ties
// prefer non-cellular; IPv6 serves only when IPv4 has no usable default route. A table that goes
// away after the reference is made fails the read (ReachabilityTest).
TEST_F(LinuxReachabilityFlagSourceTest, FlagsFollowTheBestUsableDefaultRoute) {
    EXPECT_EQ(LinuxReachabilityFlagSource(root.path()).createWithAnyIPv4Address(), nullptr) << "no table";
    const ReachabilityFlags none = 0, R = Source::kReachable, wwan = Source::kReachable | Source::kIsWWAN;
    link("eth0");
    link("eth1", "down");
    link("eth2", "dormant");
    link("lo", "unknown");
    write("sys/class/net/loop1/type", "772\n");
    link("wlp2s0", "up", "DEVTYPE=wlan\n");
    link("wlan1", "down", "DEVTYPE=wlan\n");
    link("wwan0", "unknown");
    link("usb0", "up", "DEVTYPE=wwan\n");
    const std::string lan = ipv4Route("eth0", "000200C0", "0001", 0, "00FFFFFF");
    const std::string v6Reject = ipv6Route("lo", kAnyIPv6, "00", "ffffffff", "00200200");
    // What the case is, the IPv4 table without its header (none: no such file), the IPv6 table and
    // the flags.
    const std::tuple<const char*, std::optional<std::string>, std::string, ReachabilityFlags> cases[] = {
        {"wired", defaultRoute("eth0") + lan, "", R},
        {"wireless", defaultRoute("wlp2s0", 600), "", R},
        {"cellular by name", defaultRoute("wwan0", 700), "", wwan},
        {"cellular by type", defaultRoute("usb0", 700), "", wwan},
        {"no routes", "", "", none},
        {"no default route", lan, "", none},
        {"default not up", defaultRoute("eth0", 0, "0002"), "", none},
        {"reject route", defaultRoute("eth0", 0, "0201"), "", none},
        {"link down", defaultRoute("eth1"), "", none},
        {"link dormant", defaultRoute("eth2"), "", none},
        {"loopback by name", defaultRoute("lo", 0, "0001"), "", none},
        {"loopback by type", defaultRoute("loop1", 0, "0001"), "", none},
        {"not a default mask", ipv4Route("eth0", "00000000", "0003", 0, "000000FF"), "", none},
        {"no interface", defaultRoute("../eth0"), "", none},
        {"garbage", "garbage\nshort line here\n", "", none},
        {"wireless metric lower", defaultRoute("wwan0", 700) + defaultRoute("wlp2s0", 600), "", R},
        {"cellular metric lower", defaultRoute("wwan0", 500) + defaultRoute("wlp2s0", 600), "", wwan},
        {"tie", defaultRoute("wwan0", 600) + defaultRoute("wlp2s0", 600), "", R},
        {"lower metric down", defaultRoute("wwan0", 700) + defaultRoute("wlan1", 600), "", wwan},
        // As the kernel writes them: a reject default on lo, a usable one on wwan0.
        {"IPv6 only", lan,
         v6Reject + ipv6Route("wwan0", kAnyIPv6, "00", "00000400", "00000003") +
             ipv6Route("eth0", "fe800000000000000000000000000000", "40", "00000100", "00000001"),
         wwan},
        {"IPv4 decides", defaultRoute("eth0"), ipv6Route("wwan0", kAnyIPv6, "00", "00000400", "00000003"), R},
        {"IPv6 reject only", std::nullopt, v6Reject, none},
    };
    for (const auto& [what, ipv4, ipv6, expected] : cases) {
        SCOPED_TRACE(what);
        std::filesystem::remove(root.path() / "proc/net/route");
        if (ipv4)
            routes(*ipv4);
        write("proc/net/ipv6_route", ipv6);
        auto reference = LinuxReachabilityFlagSource(root.path()).createWithAnyIPv4Address();
        ASSERT_NE(reference, nullptr);
        EXPECT_EQ(reference->flags(), expected);
    }
}

// Under a watch the tables are read again only after it reports a change; a failed read is not
// kept, so the next read goes to the files whatever the watch says.
TEST_F(LinuxReachabilityFlagSourceTest, UnderAWatchTablesAreReadAgainAfterAReportedChangeOnly) {
    auto watch = std::make_shared<ScriptedWatch>();
    LinuxReachabilityFlagSource source(root.path(), watch);
    const auto read = [&] {
        auto reference = source.createWithAnyIPv4Address();
        return reference ? reference->flags() : std::nullopt;
    };
    link("eth0");
    link("wwan0");
    routes(defaultRoute("eth0"));
    EXPECT_EQ(read(), Source::kReachable);
    routes(defaultRoute("wwan0"));
    EXPECT_EQ(read(), Source::kReachable) << "no change reported: the tables said eth0";
    watch->changed = true;
    EXPECT_EQ(read(), Source::kReachable | Source::kIsWWAN);

    std::filesystem::remove_all(root.path() / "proc");
    watch->changed = true;
    EXPECT_EQ(source.createWithAnyIPv4Address(), nullptr);
    routes(defaultRoute("eth0"));
    EXPECT_EQ(read(), Source::kReachable) << "after a failed read";
}

} // namespace
} // namespace velquor::detail
