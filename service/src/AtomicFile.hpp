// The service writes its keys, certificates and ready file with the library's crash-safe
// whole-file writes: temporary file in the same directory, fsync, rename, fsync of the directory.
#pragma once

#include "platform/linux/AtomicFile.hpp"

namespace velquor::service {

// Stateless; safe from any thread. write(path, bytes, mode) -> error text or nullopt;
// read(path) -> the whole file or nullopt.
using AtomicFile = velquor::detail::AtomicFile;

} // namespace velquor::service
