#include "remote/ErrorBuilder.hpp"

#include "remote/wire/ServerErrorResponse.hpp"

namespace velquor::detail {
namespace {

constexpr const char* kUnknownMessage = "Unknown error has occurred.";

// Messages of 10000...10008; 10009 and anything else get kUnknownMessage.
const char* messageFor(int code) {
    static constexpr const char* kMessages[] = {
        "Internal Error.",
        "Device token was missing and is required to complete this action.",
        "Remote notification isn't from Velquor.",
        "There was a server error.",
        "There was a problem with the network.",
        "There was a problem with the pairing key.",
        "There was a problem with the bundle id.",
        // One message split over two lines (parenthesised, so clang sees the concatenation is meant).
        ("Device may be paired in one regional data center only, and is already paired in another regional "
         "data center."),
        "Device is not paired.",
    };
    int index = code - static_cast<int>(ErrorCode::internalFailure);
    if (index < 0 || index >= static_cast<int>(std::size(kMessages)))
        return kUnknownMessage;
    return kMessages[index];
}

// The service object as the wire model, by the same road a reply takes: written out as JSON text
// and decoded from it. Text that cannot be written (invalid UTF-8) or decoded yields nothing.
std::optional<ServerErrorResponse> decodeServerError(const Json& object) {
    try {
        return ServerErrorResponse::decode(std::string_view(object.dump()));
    } catch (...) {
        return std::nullopt;
    }
}

const Details* firstDetail(const std::optional<ServerErrorResponse>& response) {
    if (!response || !response->details || response->details->empty())
        return nullptr;
    return &response->details->front();
}

} // namespace

Error ErrorBuilder::build(ErrorCode code, std::uint8_t internalCode, const std::optional<Json>& serverError,
                          const std::optional<PlatformError>& error) {
    Json userInfo = Json::object();
    userInfo["internalErrorCode"] = 20000 + static_cast<int>(internalCode);
    userInfo["type"] = "sdk";
    int working = static_cast<int>(code);

    if (serverError) {
        userInfo["type"] = "server";
        userInfo["internalError"] = *serverError;

        auto response = decodeServerError(*serverError);
        if (const Details* detail = firstDetail(response)) {
            // The service names the offending member of an INVALID_DATA error in its first detail.
            if (response->code == "INVALID_DATA" && detail->target) {
                if (*detail->target == "pairingKey")
                    working = static_cast<int>(ErrorCode::pairingKeyError);
                else if (*detail->target == "bundleId")
                    working = static_cast<int>(ErrorCode::bundleIdError);
            }
            // A late answer to a push wins over the refinement above, whatever the top-level code.
            if (detail->innerError && detail->innerError->actual == "PUSH_CONFIRMATION_TIMED_OUT")
                working = static_cast<int>(ErrorCode::pushConfirmationTimedOut);
        }
    }

    if (error) {
        userInfo["type"] = "os";
        userInfo["internalError"] = Json{{"key", error->code},
                                         {"domain", error->domain},
                                         {"localizedDescription", error->localizedDescription}};
    }

    std::string message = messageFor(working);
    userInfo["NSLocalizedDescription"] = message;
    return Error(working, std::move(userInfo), std::move(message));
}

} // namespace velquor::detail
