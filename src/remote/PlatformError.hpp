// An underlying platform error handed to the error builder (the "os" shape).
#pragma once

#include <string>

namespace velquor::detail {

struct PlatformError {
    std::string domain;
    long code = 0;
    std::string localizedDescription;
};

} // namespace velquor::detail
