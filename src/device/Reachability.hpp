// Network reachability of one target, answered from the platform's reachability flags: is there
// a path at all, and is it Wi-Fi (any non-cellular path) or cellular.
//
// The library uses it as a one-shot query when a transfer failed (is the device offline?):
//
//   auto reference = flagSource->createWithAnyIPv4Address();   // null: the source refused
//   auto reachability = Reachability::create(reference, QualityOfService::defaultQoS, queues, center);
//   bool wifi = reachability->connection() == Connection::wifi;
//
// The network type of each request's device data needs no object: it applies connectionFor() to
// one read of a fresh reference, which costs no serial queue and no announcement.
//
// Every first flag read counts as a change, so it schedules a "reachabilityChanged" announcement
// on the main queue; the scheduled work holds the object weakly, so an object dropped before the
// main queue runs it announces nothing.
//
// Nothing watches the target for changes: the flags are refreshed when connection() finds none.
//
// Thread-safe: connection() may be read from any thread except the object's own serial queue;
// flags are read and stored on that queue; whenReachable, whenUnreachable and the notification
// observers run on the main queue.
#pragma once

#include <velquor/DeviceFacts.hpp>
#include <velquor/Platform.hpp>

#include <netinet/in.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace velquor::detail {

enum class Connection { none = 0, wifi = 1, cellular = 2 };

struct ReachabilityError {
    enum class Kind {
        FailedToCreateWithAddress,
        FailedToCreateWithHostname,
        UnableToSetCallback,
        UnableToSetDispatchQueue,
        UnableToGetInitialFlags,
    };
    Kind kind;
    // Set for FailedToCreateWithAddress.
    std::optional<sockaddr_in> address;
    // Set for FailedToCreateWithHostname.
    std::string hostname;
};

class Reachability : public std::enable_shared_from_this<Reachability> {
public:
    using Callback = std::function<void(Reachability&)>;

    static constexpr const char* kReachabilityChangedNotification = "reachabilityChanged";

    // `reference` must not be null (callers handle a refused reference themselves). The private
    // serial queue is made from `queues` with `qos`.
    static std::shared_ptr<Reachability> create(std::shared_ptr<ReachabilityReference> reference,
                                                QualityOfService qos, std::shared_ptr<DispatchQueues> queues,
                                                std::shared_ptr<NotificationCenter> notificationCenter);
    ~Reachability() = default;

    Reachability(const Reachability&) = delete;
    Reachability& operator=(const Reachability&) = delete;

    // Computed on each read; refreshes the flags first (waiting for the serial queue) when none
    // are stored yet. A failed read counts as no connection.
    Connection connection();

    // Called on the main queue after a change to a reachable (resp. the unreachable) state.
    void setWhenReachable(Callback callback);
    void setWhenUnreachable(Callback callback);

    // When false, a cellular path counts as no connection. Default true.
    std::atomic<bool> allowsCellularConnection{true};
    // Not consulted by the connection rule.
    std::atomic<bool> reachableOnWWAN{true};
    const bool isRunningOnDevice = true;

    // The last flags read, if any.
    std::optional<ReachabilityFlags> flags() const;

    // The connection rule on a set of flags.
    static Connection connectionFor(std::optional<ReachabilityFlags> flags, bool allowsCellularConnection);

private:
    Reachability(std::shared_ptr<ReachabilityReference> reference, std::shared_ptr<DispatchQueues> queues,
                 std::shared_ptr<NotificationCenter> notificationCenter,
                 std::shared_ptr<SerialQueue> serialQueue);

    // On the serial queue only.
    std::optional<ReachabilityError> refreshFlags();
    void announceChange();

    std::shared_ptr<ReachabilityReference> reference_;
    std::shared_ptr<DispatchQueues> queues_;
    std::shared_ptr<NotificationCenter> notificationCenter_;
    std::shared_ptr<SerialQueue> serialQueue_;

    mutable std::mutex mutex_;
    std::optional<ReachabilityFlags> flags_;
    Callback whenReachable_;
    Callback whenUnreachable_;
};

} // namespace velquor::detail
