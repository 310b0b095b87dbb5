#include "platform/linux/LinuxReachabilityFlagSource.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>

namespace velquor::detail {
namespace {

using Source = ReachabilityFlagSource;

// Reports a change when the test says one happened.
class ScriptedWatch : public RouteChangeWatch {
public:
    bool changedSinceLastCall() override { return changed.exchange(false); }
    std::atomic<bool> changed{true};
};

void writeDefaultRoute(const std::filesystem::path& root, const std::string& interfaceName) {
    test::writeFile(root / "proc/net/route",
                    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n" +
                        interfaceName + "\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    test::writeFile(root / "sys/class/net" / interfaceName / "operstate", "up\n");
}

// Under a watch the tables are read again only after it reports a change; a failed read is not
// kept, so the next read goes to the files whatever the watch says.
TEST(LinuxReachabilityWatchTest, TablesAreReadAgainAfterAReportedChangeOnly) {
    test::TempDir root;
    auto watch = std::make_shared<ScriptedWatch>();
    LinuxReachabilityFlagSource source(root.path(), watch);
    const auto read = [&] {
        auto reference = source.createWithAnyIPv4Address();
        return reference ? reference->flags() : std::nullopt;
    };
    writeDefaultRoute(root.path(), "eth0");
    EXPECT_EQ(read(), Source::kReachable);

    writeDefaultRoute(root.path(), "wwan0");
    EXPECT_EQ(read(), Source::kReachable) << "no change reported: the tables said eth0";
    watch->changed = true;
    EXPECT_EQ(read(), Source::kReachable | Source::kIsWWAN);

    std::filesystem::remove_all(root.path() / "proc");
    watch->changed = true;
    EXPECT_EQ(source.createWithAnyIPv4Address(), nullptr);
    writeDefaultRoute(root.path(), "eth0");
    EXPECT_EQ(read(), Source::kReachable) << "after a failed read";
}

} // namespace
} // namespace velquor::detail
