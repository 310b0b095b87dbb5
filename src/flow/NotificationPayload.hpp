// What the library keeps of a host's push payload dictionary: the text under "Velquor" and the
// dictionary's compact JSON text for the log. It is taken at the public boundary, on the host's
// thread, so no tree of the host's (which may nest to any depth) is copied, queued or printed.
//
//   NotificationPayload payload(userInfo); // userInfo: the host's dictionary
//   PushManager::parse(payload);
//
// Immutable value; safe to copy across threads.
#pragma once

#include <velquor/Velquor.hpp>

#include <optional>
#include <string>

namespace velquor::detail {

class NotificationPayload {
public:
    // No payload at all.
    NotificationPayload() = default;
    // Implicit: every notification operation takes the host's dictionary as it is.
    NotificationPayload(const Json& userInfo);

    // The value under "Velquor" when it is text; absent when the payload is not a dictionary,
    // has no such key, or holds something else there.
    const std::optional<std::string>& velquorText() const { return velquorText_; }
    // The dictionary as compact JSON text; absent when it nests deeper than the JSON nesting
    // limit or holds text that is not UTF-8.
    const std::optional<std::string>& description() const { return description_; }

private:
    std::optional<std::string> velquorText_;
    std::optional<std::string> description_;
};

} // namespace velquor::detail
