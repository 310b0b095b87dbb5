// The enrollment claim ("vq.enrollment") of an identity token: the pairing key the host may
// approve, or why there is none. A plain value; decoding follows the wire rules
// (Responses/WireDecoding.hpp): all fields optional, a mistyped member fails the whole decoding.
#pragma once

#include "remote/wire/ServerErrorResponse.hpp"

#include <velquor/Velquor.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace velquor::detail {

struct EnrollmentResponse {
    std::optional<std::string> pairingKey;
    std::optional<std::string> status;
    std::optional<std::string> message;
    std::optional<ServerErrorResponse> error;

    static std::optional<EnrollmentResponse> decode(const Json& json);
    // Parses JSON bytes first; text that is not JSON fails.
    static std::optional<EnrollmentResponse> decode(std::string_view bytes);
    Json encode() const;
};

} // namespace velquor::detail
