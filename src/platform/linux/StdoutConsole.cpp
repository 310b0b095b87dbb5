#include "platform/linux/StdoutConsole.hpp"

#include <cstdio>

namespace velquor::detail {

void StdoutConsole::writeLine(const std::string& line) {
    std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace velquor::detail
