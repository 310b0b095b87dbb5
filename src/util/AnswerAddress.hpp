// The rule an answer address must meet before a signed answer is sent to it. The address comes
// from a push notification, which nobody authenticates, so it must name one of the service's own
// hosts: an absolute "https" address without user information whose host (in any letter case)
// and effective port (443 when none is written) are those of one of the regional base addresses.
// Both sides are read by the same URL parser, so no text trick reads one way here and another in
// the transport.
//
//   if (auto why = AnswerAddress::problem(href, {na, eu, au})) refuse(*why);
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::detail {

// Stateless; safe from any thread.
class AnswerAddress {
public:
    // Why `address` is refused, or nullopt when it names one of `serviceBaseAddresses`.
    static std::optional<std::string> problem(std::string_view address,
                                              const std::vector<std::string>& serviceBaseAddresses);
};

} // namespace velquor::detail
