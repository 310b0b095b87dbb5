// The upload of the diagnostic log for support: the log packed into an archive and sent with a
// support id the host shows the user. The exchange arrives with the transport; until then an
// upload answers kNotAvailableInternalCode.
//
// Stateless; thread-safe. sendLogs runs on the global queue (the logic layer applies the paired
// gate on the caller's thread and then moves it there) and answers there.
#pragma once

#include "flow/Completion.hpp"
#include "flow/FlowCollaborators.hpp"

namespace velquor::detail {

class LogUploadFlow : public std::enable_shared_from_this<LogUploadFlow> {
public:
    explicit LogUploadFlow(FlowCollaborators collaborators);

    void sendLogs(const SupportIdCompletion& handler) const;

private:
    const FlowCollaborators c_;
};

} // namespace velquor::detail
