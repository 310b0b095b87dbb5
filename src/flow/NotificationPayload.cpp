#include "flow/NotificationPayload.hpp"

#include "util/BoundedJson.hpp"

namespace velquor::detail {

NotificationPayload::NotificationPayload(const Json& userInfo) {
    if (userInfo.is_object()) {
        // A flat look-up: the members beside "Velquor" are never visited.
        if (const auto it = userInfo.find("Velquor"); it != userInfo.end() && it->is_string())
            velquorText_ = it->get<std::string>();
    }
    if (!BoundedJson::withinDepth(userInfo))
        return;
    try {
        description_ = userInfo.dump(); // strict: text that is not UTF-8 throws
    } catch (const Json::exception&) {
    }
}

} // namespace velquor::detail
