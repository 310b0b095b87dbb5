#include "device/Reachability.hpp"

namespace velquor::detail {

std::shared_ptr<Reachability> Reachability::create(std::shared_ptr<ReachabilityReference> reference,
                                                   QualityOfService qos,
                                                   std::shared_ptr<DispatchQueues> queues,
                                                   std::shared_ptr<NotificationCenter> notificationCenter) {
    std::shared_ptr<SerialQueue> serialQueue = queues->makeSerialQueue("velquor.reachability", qos);
    return std::shared_ptr<Reachability>(new Reachability(
        std::move(reference), std::move(queues), std::move(notificationCenter), std::move(serialQueue)));
}

Reachability::Reachability(std::shared_ptr<ReachabilityReference> reference,
                           std::shared_ptr<DispatchQueues> queues,
                           std::shared_ptr<NotificationCenter> notificationCenter,
                           std::shared_ptr<SerialQueue> serialQueue)
    : reference_(std::move(reference))
    , queues_(std::move(queues))
    , notificationCenter_(std::move(notificationCenter))
    , serialQueue_(std::move(serialQueue)) {}

Connection Reachability::connectionFor(std::optional<ReachabilityFlags> flags,
                                       bool allowsCellularConnection) {
    using Source = ReachabilityFlagSource;
    if (!flags || (*flags & Source::kReachable) == 0)
        return Connection::none;
    if (*flags & Source::kIsWWAN)
        return allowsCellularConnection ? Connection::cellular : Connection::none;
    bool automatic = (*flags & (Source::kConnectionOnTraffic | Source::kConnectionOnDemand)) != 0;
    if (automatic && (*flags & Source::kInterventionRequired) == 0)
        return Connection::wifi;
    return (*flags & Source::kConnectionRequired) == 0 ? Connection::wifi : Connection::none;
}

Connection Reachability::connection() {
    if (!flags()) {
        // A failed read leaves no flags, which the rule answers with none.
        serialQueue_->sync([this] { (void)refreshFlags(); });
    }
    return connectionFor(flags(), allowsCellularConnection.load());
}

std::optional<ReachabilityFlags> Reachability::flags() const {
    std::lock_guard lock(mutex_);
    return flags_;
}

void Reachability::setWhenReachable(Callback callback) {
    std::lock_guard lock(mutex_);
    whenReachable_ = std::move(callback);
}

void Reachability::setWhenUnreachable(Callback callback) {
    std::lock_guard lock(mutex_);
    whenUnreachable_ = std::move(callback);
}

std::optional<ReachabilityError> Reachability::refreshFlags() {
    std::optional<ReachabilityFlags> current = reference_->flags();
    if (!current)
        return ReachabilityError{ReachabilityError::Kind::UnableToGetInitialFlags, std::nullopt, {}};
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        changed = !flags_ || *flags_ != *current;
        flags_ = current;
    }
    if (changed)
        announceChange();
    return std::nullopt;
}

void Reachability::announceChange() {
    queues_->asyncMain([weak = weak_from_this()] {
        std::shared_ptr<Reachability> self = weak.lock();
        if (!self)
            return;
        Callback callback;
        {
            std::lock_guard lock(self->mutex_);
            callback = connectionFor(self->flags_, self->allowsCellularConnection.load()) != Connection::none
                           ? self->whenReachable_
                           : self->whenUnreachable_;
        }
        if (callback)
            callback(*self);
        if (self->notificationCenter_)
            self->notificationCenter_->post(kReachabilityChangedNotification, self.get());
    });
}

} // namespace velquor::detail
