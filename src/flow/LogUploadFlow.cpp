#include "flow/LogUploadFlow.hpp"

#include "flow/FlowErrors.hpp"

namespace velquor::detail {

LogUploadFlow::LogUploadFlow(FlowCollaborators collaborators)
    : c_(std::move(collaborators)) {}

void LogUploadFlow::sendLogs(const SupportIdCompletion& handler) const {
    handler(std::nullopt, notAvailable("sendLogs(completionHandler:)"));
}

} // namespace velquor::detail
