#include "platform/linux/LinuxNotificationCenter.hpp"

#include <atomic>
#include <vector>

namespace velquor::detail {

struct LinuxNotificationCenter::Registration {
    std::string name;
    Observer observer;
    std::atomic<bool> active{true};
};

NotificationCenter::ObserverToken LinuxNotificationCenter::addObserver(const std::string& name,
                                                                       Observer observer) {
    auto registration = std::make_shared<Registration>();
    registration->name = name;
    registration->observer = std::move(observer);
    std::lock_guard lock(mutex_);
    const ObserverToken token = nextToken_++;
    registrations_.emplace(token, std::move(registration));
    return token;
}

void LinuxNotificationCenter::removeObserver(ObserverToken token) {
    std::shared_ptr<Registration> removed;
    {
        std::lock_guard lock(mutex_);
        auto found = registrations_.find(token);
        if (found == registrations_.end())
            return;
        removed = std::move(found->second);
        registrations_.erase(found);
    }
    removed->active = false;
    // `removed` may be the last owner of the observer: it is destroyed here, outside the lock.
}

void LinuxNotificationCenter::post(const std::string& name, const void* sender) {
    std::vector<std::shared_ptr<Registration>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, registration] : registrations_) {
            if (registration->name == name)
                matching.push_back(registration);
        }
    }
    for (const auto& registration : matching) {
        if (!registration->active || !registration->observer)
            continue;
        try {
            registration->observer(name, sender);
        } catch (...) {
            // One failing observer must not keep the others from their notification.
        }
    }
}

} // namespace velquor::detail
