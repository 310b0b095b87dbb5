#include "log/LogTapOnly.hpp"

namespace velquor::detail {
namespace {

thread_local int tDepth = 0;

} // namespace

LogTapOnly::LogTapOnly() noexcept {
    ++tDepth;
}

LogTapOnly::~LogTapOnly() {
    --tDepth;
}

bool LogTapOnly::active() noexcept {
    return tDepth > 0;
}

} // namespace velquor::detail
