#include "platform/linux/LinuxReachabilityFlagSource.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <fstream>

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

const std::string kAnyIPv6 = "00000000000000000000000000000000";

class LinuxReachabilityFlagSourceTest : public ::testing::Test {
protected:
    void write(const std::string& relative, const std::string& text) {
        std::filesystem::path path = root.path() / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    void routes(const std::string& lines) { write("proc/net/route", kHeader + lines); }
    void ipv6Routes(const std::string& lines) { write("proc/net/ipv6_route", lines); }
    void link(const std::string& name, const std::string& operstate = "up", const std::string& uevent = "",
              bool wireless = false) {
        write("sys/class/net/" + name + "/operstate", operstate + "\n");
        write("sys/class/net/" + name + "/type", "1\n");
        write("sys/class/net/" + name + "/uevent", "INTERFACE=" + name + "\nIFINDEX=3\n" + uevent);
        if (wireless)
            std::filesystem::create_directories(root.path() / "sys/class/net" / name / "wireless");
    }
    std::optional<ReachabilityFlags> flags() {
        auto reference = LinuxReachabilityFlagSource(root.path()).createWithAnyIPv4Address();
        if (!reference) {
            ADD_FAILURE() << "reference refused";
            return std::nullopt;
        }
        return reference->flags();
    }

    test::TempDir root;
};

TEST_F(LinuxReachabilityFlagSourceTest, DefaultRouteIsReachableAndOnlyMobileBroadbandSetsWWAN) {
    routes(ipv4Route("eth0", "00000000", "0003", 0) + ipv4Route("eth0", "000200C0", "0001", 0, "00FFFFFF"));
    link("eth0");
    EXPECT_EQ(flags(), Source::kReachable);

    routes(ipv4Route("wlp2s0", "00000000", "0003", 600));
    link("wlp2s0", "up", "DEVTYPE=wlan\n", true);
    EXPECT_EQ(flags(), Source::kReachable);

    // Mobile broadband, known by name or by device type, adds the WWAN bit.
    routes(ipv4Route("wwan0", "00000000", "0003", 700));
    link("wwan0", "unknown");
    EXPECT_EQ(flags(), Source::kReachable | Source::kIsWWAN);

    routes(ipv4Route("usb0", "00000000", "0003", 700));
    link("usb0", "up", "DEVTYPE=wwan\n");
    EXPECT_EQ(flags(), Source::kReachable | Source::kIsWWAN);
}

TEST_F(LinuxReachabilityFlagSourceTest, UnusableRoutesLeaveTheReachableBitClear) {
    link("eth0");
    link("eth1", "down");
    link("eth2", "dormant");
    link("lo", "unknown");
    write("sys/class/net/loop1/type", "772\n");
    const std::string unusable[] = {
        "",                                                   // no routes at all
        ipv4Route("eth0", "000200C0", "0001", 0, "00FFFFFF"), // no default route
        ipv4Route("eth0", "00000000", "0002", 0),             // default route not up
        ipv4Route("eth0", "00000000", "0201", 0),             // reject route
        ipv4Route("eth1", "00000000", "0003", 0),             // link down
        ipv4Route("eth2", "00000000", "0003", 0),             // link dormant
        ipv4Route("lo", "00000000", "0001", 0),               // loopback by name
        ipv4Route("loop1", "00000000", "0001", 0),            // loopback by link type
        ipv4Route("eth0", "00000000", "0003", 0, "000000FF"), // not a default mask
        ipv4Route("../eth0", "00000000", "0003", 0),          // a name that is no interface
        "garbage\nshort line here\n",
    };
    for (const auto& lines : unusable) {
        routes(lines);
        EXPECT_EQ(flags(), ReachabilityFlags{0}) << lines;
    }
}

TEST_F(LinuxReachabilityFlagSourceTest, LowestMetricDecidesAndTiesPreferNonCellular) {
    link("wwan0");
    link("wlan0", "up", "DEVTYPE=wlan\n", true);
    routes(ipv4Route("wwan0", "00000000", "0003", 700) + ipv4Route("wlan0", "00000000", "0003", 600));
    EXPECT_EQ(flags(), Source::kReachable);
    routes(ipv4Route("wwan0", "00000000", "0003", 500) + ipv4Route("wlan0", "00000000", "0003", 600));
    EXPECT_EQ(flags(), Source::kReachable | Source::kIsWWAN);
    routes(ipv4Route("wwan0", "00000000", "0003", 600) + ipv4Route("wlan0", "00000000", "0003", 600));
    EXPECT_EQ(flags(), Source::kReachable);
    // A cellular default route beats a wireless one that is down.
    link("wlan0", "down", "DEVTYPE=wlan\n", true);
    routes(ipv4Route("wwan0", "00000000", "0003", 700) + ipv4Route("wlan0", "00000000", "0003", 600));
    EXPECT_EQ(flags(), Source::kReachable | Source::kIsWWAN);
}

TEST_F(LinuxReachabilityFlagSourceTest, IPv6DefaultRouteServesWhenIPv4HasNone) {
    link("eth0");
    link("wwan0");
    routes(ipv4Route("eth0", "000200C0", "0001", 0, "00FFFFFF"));
    // As the kernel writes them: a reject default on lo, a usable one on wwan0.
    ipv6Routes(ipv6Route("lo", kAnyIPv6, "00", "ffffffff", "00200200") +
               ipv6Route("wwan0", kAnyIPv6, "00", "00000400", "00000003") +
               ipv6Route("eth0", "fe800000000000000000000000000000", "40", "00000100", "00000001"));
    EXPECT_EQ(flags(), Source::kReachable | Source::kIsWWAN);

    // IPv4 decides when it has a usable default route.
    routes(ipv4Route("eth0", "00000000", "0003", 0));
    EXPECT_EQ(flags(), Source::kReachable);

    std::filesystem::remove(root.path() / "proc/net/route");
    ipv6Routes(ipv6Route("lo", kAnyIPv6, "00", "ffffffff", "00200200"));
    EXPECT_EQ(flags(), ReachabilityFlags{0});
}

TEST_F(LinuxReachabilityFlagSourceTest, NoRoutingTableMeansRefusedOrFailedRead) {
    EXPECT_EQ(LinuxReachabilityFlagSource(root.path()).createWithAnyIPv4Address(), nullptr);

    routes(ipv4Route("eth0", "00000000", "0003", 0));
    link("eth0");
    auto reference = LinuxReachabilityFlagSource(root.path()).createWithAnyIPv4Address();
    ASSERT_NE(reference, nullptr);
    EXPECT_EQ(reference->flags(), Source::kReachable);

    std::filesystem::remove(root.path() / "proc/net/route");
    EXPECT_EQ(reference->flags(), std::nullopt);
}

TEST_F(LinuxReachabilityFlagSourceTest, RunningSystemGivesAnAnswer) {
    auto reference = LinuxReachabilityFlagSource().createWithAnyIPv4Address();
    ASSERT_NE(reference, nullptr) << "this system has no /proc/net routing table";
    std::optional<ReachabilityFlags> flags = reference->flags();
    ASSERT_TRUE(flags);
    EXPECT_EQ(*flags & ~(Source::kReachable | Source::kIsWWAN), 0u);
}

} // namespace
} // namespace velquor::detail
