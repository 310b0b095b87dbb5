#include <velquor/Velquor.hpp>

namespace velquor {

Error::Error(int code, Json userInfo, std::string message)
    : domain_("VelquorErrorDomain")
    , code_(code)
    , userInfo_(std::move(userInfo))
    , message_(std::move(message)) {}

std::optional<ErrorCode> errorCodeFromRawValue(long rawValue) {
    if (rawValue < static_cast<long>(ErrorCode::internalFailure) ||
        rawValue > static_cast<long>(ErrorCode::pushConfirmationTimedOut))
        return std::nullopt;
    return static_cast<ErrorCode>(rawValue);
}

} // namespace velquor
