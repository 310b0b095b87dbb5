#include "flow/LogUploadFlow.hpp"

#include "flow/FlowErrors.hpp"
#include "jwt/Digest.hpp"
#include "log/Log.hpp"
#include "log/ZipLog.hpp"
#include "state/ItemNames.hpp"

#include <openssl/rand.h>

#include <cstdio>
#include <exception>

namespace velquor::detail {
namespace {

constexpr const char* kOperation = "sendLogs(completionHandler:)";

std::optional<std::uint64_t> secureRandom64() {
    std::uint64_t value = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&value), sizeof value) != 1)
        return std::nullopt;
    return value;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string text(bytes.size() * 2, '0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        std::snprintf(&text[2 * i], 3, "%02hhx", bytes[i]);
    return text;
}

} // namespace

LogUploadFlow::LogUploadFlow(FlowCollaborators collaborators)
    : c_(std::move(collaborators))
    , log_(logFileFor(c_.platform)) {}

std::optional<std::string>
LogUploadFlow::drawSupportId(const std::function<std::optional<std::uint64_t>()>& random) {
    for (;;) {
        const std::optional<std::uint64_t> value = random();
        if (!value)
            return std::nullopt;
        if (*value >= kSupportIdThreshold)
            return std::to_string(*value % 1'000'000'000);
    }
}

void LogUploadFlow::sendLogs(const SupportIdCompletion& handler) const {
    try {
        upload(handler);
    } catch (const std::exception& exception) {
        // Memory, most likely (a large log). The log stays as it is; the caller still gets an
        // answer (a second one, should the upload have answered already, is dropped).
        VQ_LOG(LogLevel::error, kLogicLayerUnit, kOperation,
               std::string("Upload failed: ") + exception.what());
        handler(std::nullopt, flowError(ErrorCode::internalFailure, kUnexpectedFailureInternalCode,
                                        kLogicLayerUnit, kOperation));
    }
}

void LogUploadFlow::upload(const SupportIdCompletion& handler) const {
    LogFile::ReadBack back = log_->readDecryptedLog();
    std::optional<std::vector<std::uint8_t>> archive = ZipLog::zip(back.text);
    if (!archive)
        return handler(std::nullopt, flowError(ErrorCode::internalFailure, 48, kLogicLayerUnit, kOperation));

    const std::string base =
        c_.urlManager.baseURLForDataCenter(c_.keychain.getString(items::kDataCenter).text);
    const std::vector<std::uint8_t> digest = detail::digest(256, *archive);
    const std::optional<std::string> supportId = drawSupportId(secureRandom64);
    if (digest.empty() || !supportId) {
        VQ_LOG(LogLevel::error, kLogicLayerUnit, kOperation,
               digest.empty() ? "No digest of the archive" : "No random bits for the support id");
        return handler(std::nullopt, flowError(ErrorCode::internalFailure, kUnexpectedFailureInternalCode,
                                               kLogicLayerUnit, kOperation));
    }

    // Only what this upload read back goes when it has been filed; lines logged meanwhile stay.
    auto restart = [log = log_, mark = std::move(back.mark)] {
        log->resetLogs(mark);
    };
    c_.communication.sendLogs(
        c_.requestBuilder.logsRequest(base, std::move(*archive), hex(digest), *supportId), std::move(restart),
        handler);
}

} // namespace velquor::detail
