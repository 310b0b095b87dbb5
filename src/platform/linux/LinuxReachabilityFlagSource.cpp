#include "platform/linux/LinuxReachabilityFlagSource.hpp"

#include "platform/linux/NetlinkRouteWatch.hpp"

#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace velquor::detail {

namespace {

constexpr unsigned long kRouteUp = 0x0001;     // RTF_UP
constexpr unsigned long kRouteReject = 0x0200; // RTF_REJECT
constexpr int kLoopbackLinkType = 772;         // ARPHRD_LOOPBACK

struct DefaultRoute {
    std::string interfaceName;
    unsigned long metric = 0;
    bool cellular = false; // known once the route is chosen
};

std::optional<std::vector<std::vector<std::string>>> readTable(const std::filesystem::path& path) {
    std::ifstream stream(path);
    if (!stream)
        return std::nullopt;
    std::vector<std::vector<std::string>> rows;
    std::string line;
    while (std::getline(stream, line)) {
        std::istringstream fields(line);
        std::vector<std::string> row;
        for (std::string field; fields >> field;)
            row.push_back(std::move(field));
        if (!row.empty())
            rows.push_back(std::move(row));
    }
    return rows;
}

std::optional<unsigned long> parseNumber(const std::string& text, int base) {
    if (text.empty())
        return std::nullopt;
    try {
        std::size_t used = 0;
        unsigned long value = std::stoul(text, &used, base);
        if (used != text.size())
            return std::nullopt;
        return value;
    } catch (...) {
        return std::nullopt;
    }
}

bool isAllZero(const std::string& hex) {
    return !hex.empty() && hex.find_first_not_of('0') == std::string::npos;
}

// Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT (header line first).
void collectIPv4(const std::vector<std::vector<std::string>>& rows, std::vector<DefaultRoute>& routes) {
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const auto& row = rows[i];
        if (row.size() < 8 || !isAllZero(row[1]) || !isAllZero(row[7]))
            continue;
        auto flags = parseNumber(row[3], 16);
        auto metric = parseNumber(row[6], 10);
        if (!flags || !metric || (*flags & kRouteUp) == 0 || (*flags & kRouteReject) != 0)
            continue;
        routes.push_back({row[0], *metric});
    }
}

// Destination PrefixLen Source PrefixLen NextHop Metric RefCnt Use Flags Iface (no header).
void collectIPv6(const std::vector<std::vector<std::string>>& rows, std::vector<DefaultRoute>& routes) {
    for (const auto& row : rows) {
        if (row.size() < 10 || !isAllZero(row[0]) || !isAllZero(row[1]))
            continue;
        auto metric = parseNumber(row[5], 16);
        auto flags = parseNumber(row[8], 16);
        if (!flags || !metric || (*flags & kRouteUp) == 0 || (*flags & kRouteReject) != 0)
            continue;
        routes.push_back({row[9], *metric});
    }
}

std::string readTrimmed(const std::filesystem::path& path) {
    std::ifstream stream(path);
    std::string text;
    std::getline(stream, text);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r'))
        text.pop_back();
    return text;
}

bool safeInterfaceName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string deviceType(const std::filesystem::path& interfaceDirectory) {
    std::ifstream stream(interfaceDirectory / "uevent");
    for (std::string line; std::getline(stream, line);)
        if (line.starts_with("DEVTYPE="))
            return line.substr(8);
    return {};
}

bool isUsable(const std::filesystem::path& root, const std::string& name) {
    if (!safeInterfaceName(name) || name == "lo")
        return false;
    std::filesystem::path directory = root / "sys/class/net" / name;
    if (auto type = parseNumber(readTrimmed(directory / "type"), 10); type && *type == kLoopbackLinkType)
        return false;
    std::string state = readTrimmed(directory / "operstate");
    return state != "down" && state != "lowerlayerdown" && state != "notpresent" && state != "dormant";
}

bool isMobileBroadband(const std::filesystem::path& root, const std::string& name) {
    return name.starts_with("wwan") || deviceType(root / "sys/class/net" / name) == "wwan";
}

std::optional<DefaultRoute> bestRoute(const std::filesystem::path& root,
                                      const std::vector<DefaultRoute>& routes) {
    std::optional<DefaultRoute> best;
    for (const auto& route : routes) {
        if (!isUsable(root, route.interfaceName))
            continue;
        bool cellular = isMobileBroadband(root, route.interfaceName);
        if (!best || route.metric < best->metric ||
            (route.metric == best->metric && best->cellular && !cellular)) {
            best = route;
            best->cellular = cellular;
        }
    }
    return best;
}

// Answers its first read with the flags read when it was made (a moment earlier: the library
// reads a reference once, right after making it), every later read from the tables.
class RouteTableReference final : public ReachabilityReference {
public:
    RouteTableReference(std::shared_ptr<LinuxReachabilityFlagSource::Tables> tables, ReachabilityFlags first)
        : tables_(std::move(tables))
        , first_(first) {}

    std::optional<ReachabilityFlags> flags() override {
        {
            std::lock_guard lock(mutex_);
            if (auto first = std::exchange(first_, std::nullopt))
                return first;
        }
        return tables_->read();
    }

private:
    std::shared_ptr<LinuxReachabilityFlagSource::Tables> tables_;
    std::mutex mutex_;
    std::optional<ReachabilityFlags> first_; // guarded by mutex_
};

} // namespace

std::optional<ReachabilityFlags> LinuxReachabilityFlagSource::Tables::read() {
    std::lock_guard lock(mutex);
    // Asked before reading: a change made while the files are read is announced after this
    // call, so the next read sees it.
    if (watch && !watch->changedSinceLastCall() && last)
        return last;
    last = readFlags(root);
    return last;
}

LinuxReachabilityFlagSource::LinuxReachabilityFlagSource(std::filesystem::path root)
    : LinuxReachabilityFlagSource(root, root == "/" ? NetlinkRouteWatch::open() : nullptr) {}

LinuxReachabilityFlagSource::LinuxReachabilityFlagSource(std::filesystem::path root,
                                                         std::shared_ptr<RouteChangeWatch> watch)
    : tables_(std::make_shared<Tables>()) {
    tables_->root = std::move(root);
    tables_->watch = std::move(watch);
}

std::shared_ptr<ReachabilityReference> LinuxReachabilityFlagSource::createWithAnyIPv4Address() {
    // Reading the tables is how to tell whether they can be read; what they say is kept for the
    // reference's first read, so a one-shot query reads them once, not twice.
    const auto flags = tables_->read();
    if (!flags)
        return nullptr;
    return std::make_shared<RouteTableReference>(tables_, *flags);
}

std::optional<ReachabilityFlags> LinuxReachabilityFlagSource::readFlags(const std::filesystem::path& root) {
    auto ipv4 = readTable(root / "proc/net/route");
    auto ipv6 = readTable(root / "proc/net/ipv6_route");
    if (!ipv4 && !ipv6)
        return std::nullopt;

    std::vector<DefaultRoute> ipv4Routes;
    std::vector<DefaultRoute> ipv6Routes;
    if (ipv4)
        collectIPv4(*ipv4, ipv4Routes);
    if (ipv6)
        collectIPv6(*ipv6, ipv6Routes);

    std::optional<DefaultRoute> path = bestRoute(root, ipv4Routes);
    if (!path)
        path = bestRoute(root, ipv6Routes);
    if (!path)
        return ReachabilityFlags{0};
    ReachabilityFlags flags = kReachable;
    if (path->cellular)
        flags |= kIsWWAN;
    return flags;
}

} // namespace velquor::detail
