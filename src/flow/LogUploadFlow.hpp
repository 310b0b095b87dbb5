// The upload of the diagnostic log for support: the log read back and packed into an archive,
// sent with its SHA-256 digest and a freshly drawn support id, and, once the service has filed
// it, removed from the log (what was logged since stays).
//
//   auto flow = std::make_shared<LogUploadFlow>(collaborators);
//   flow->sendLogs(completion);   // on the global queue, after the paired gate
//
// Thread-safe; uploads may run at the same time, each with its own support id. sendLogs runs on
// the global queue (the logic layer applies the paired gate on the caller's thread and then moves
// it there); its handler runs exactly once, on that queue when the upload cannot start, else on
// the transport's reply thread.
#pragma once

#include "flow/Completion.hpp"
#include "flow/FlowCollaborators.hpp"
#include "log/LogFile.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velquor::detail {

class LogUploadFlow : public std::enable_shared_from_this<LogUploadFlow> {
public:
    // The first 64-bit value at or above this is used: 2^64 mod 10^9, so that every support id
    // is equally likely.
    static constexpr std::uint64_t kSupportIdThreshold = 709'551'616;

    explicit LogUploadFlow(FlowCollaborators collaborators);

    // Failures: the log gives no archive 10000/48; no random bits, no digest or an exception
    // (memory) 10000/kUnexpectedFailureInternalCode; and those of Communication::sendLogs.
    void sendLogs(const SupportIdCompletion& handler) const;

    // A support id in decimal, uniform over 0 to 999,999,999: `random` is drawn until a value
    // reaches kSupportIdThreshold. Nothing when `random` gives nothing.
    static std::optional<std::string>
    drawSupportId(const std::function<std::optional<std::uint64_t>()>& random);

private:
    void upload(const SupportIdCompletion& handler) const;

    const FlowCollaborators c_;
    // The log of the layer's platform, held for the flow's life so its uploads share one lock.
    const std::shared_ptr<LogFile> log_;
};

} // namespace velquor::detail
