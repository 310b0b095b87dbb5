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
    // Raw reply bytes (any bytes, not only UTF-8), from "bodyBase64"; excludes `body`.
    std::optional<std::string> rawBytes;
    ReplySignature signature = ReplySignature::valid;
    // Puts the foreign key into the claims as "serverPublicKey" and signs with it.
    bool foreignServerKey = false;
    CorrelationHeader correlation = CorrelationHeader::generated;
    std::string correlationId;
    bool closeBeforeReply = false;
    std::optional<size_t> closeAfterBodyBytes;
    std::chrono::milliseconds delay{0};
    int times = 1;
};

// Thread-safe: every member may be called from any request thread.
class FaultInjector {
public:
    // Reads {"path", "status", "body" | "bodyBase64", "signature", "serverPublicKey", "abort",
    // "correlationId", "delayMs", "times"}; nullopt with `error` (an INVALID_DATA object naming the
    // member) when a member is missing, malformed or contradicts another.
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

    // The reply a fault gives; `foreignPublicKey` is the Base64 SubjectPublicKeyInfo of the
    // foreign key, for "serverPublicKey": "foreign".
    static ServiceReply replyFor(const Fault& fault, const std::string& foreignPublicKey);

private:
    static bool matches(const std::string& pattern, const std::string& path);

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<Fault> faults_;
};

} // namespace velquor::service
