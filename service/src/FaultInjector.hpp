// Faults that the admin interface plants so client tests can provoke every failure of the
// transport: a protocol request whose path matches is answered by the fault alone (after an
// optional delay) and the real handler never runs, so nothing is used up or stored.
#pragma once

#include "ServiceError.hpp"
#include "ServiceExchange.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velquor::service {

struct Fault {
    // Matches exactly, or as a prefix when it ends in "*".
    std::string path;
    int status = 500;
    // Object: claims of a reply token; string: the raw body; absent: an empty body.
    std::optional<nlohmann::json> body;
    ReplySignature signature = ReplySignature::valid;
    std::chrono::milliseconds delay{0};
    int times = 1;
};

// Thread-safe: every member may be called from any request thread.
class FaultInjector {
public:
    // Reads {"path", "status", "body", "signature", "delayMs", "times"}; nullopt with `error` (an
    // INVALID_DATA object naming the member) when a member is missing or malformed.
    static std::optional<Fault> parse(const nlohmann::json& request, ServiceError& error);

    void add(Fault fault);
    void clear();
    // Counts one arriving request on `path`: the earliest added fault that matches it is used
    // (and dropped once its "times" are spent). nullopt when none matches.
    std::optional<Fault> take(const std::string& path);

    // Waits `delay`, returning early once stop() was called; true when the whole delay passed.
    bool wait(std::chrono::milliseconds delay);
    // Wakes every wait() so that a stopping service does not sit out long delays.
    void stop();

    // The reply a fault gives.
    static ServiceReply replyFor(const Fault& fault);

private:
    static bool matches(const std::string& pattern, const std::string& path);

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<Fault> faults_;
};

} // namespace velquor::service
