// The process-wide guard of the device key pair. Whoever checks for the pair and then generates
// it, or deletes it, holds this lock across both steps, so no thread sees a half-made or
// half-removed pair and two threads never both generate. Thread-safe; never held across a
// callback. The key store's own file lock covers other processes.
#pragma once

#include <mutex>

namespace velquor::detail {

std::unique_lock<std::mutex> lockDeviceKeyPair();

} // namespace velquor::detail
