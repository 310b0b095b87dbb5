// Random (version 4) UUIDs in canonical upper-case text, drawn from OpenSSL's secure source.
#pragma once

#include <optional>
#include <string>

namespace velquor::detail {

// 36 characters, e.g. "0C39DF4F-DBBB-4FDE-A49D-22B34E59CFD5"; absent when the random source fails.
std::optional<std::string> randomUUIDText();

} // namespace velquor::detail
