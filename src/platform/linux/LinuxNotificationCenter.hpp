// The in-process notification centre: observers by name, called synchronously by post().
//
//   auto token = center.addObserver("reachabilityChanged", [](const std::string&, const void*) { ... });
//   center.post("reachabilityChanged", this);
//   center.removeObserver(token);
#pragma once

#include <velquor/Platform.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace velquor::detail {

// Thread-safe. Observers run on the posting thread, in registration order, without any lock of
// the centre held: an observer may add or remove observers (itself included) or post. An
// observer removed before its turn in a running post() is not called; removeObserver() does not
// wait for a call already running on another thread. An observer that throws is caught and
// ignored, and the remaining observers still run.
class LinuxNotificationCenter final : public NotificationCenter {
public:
    ObserverToken addObserver(const std::string& name, Observer observer) override;
    void removeObserver(ObserverToken token) override;
    void post(const std::string& name, const void* sender) override;

private:
    struct Registration;

    std::mutex mutex_;
    ObserverToken nextToken_ = 1;
    std::map<ObserverToken, std::shared_ptr<Registration>> registrations_;
};

} // namespace velquor::detail
