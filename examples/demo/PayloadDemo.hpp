// The demo's mobile payload section: generates the payload through the public interface and
// prints the token with its decoded header and claims.
#pragma once

#include <ostream>

namespace velquor::demo {

// Prints the compact token, then the header and claims as indented JSON; a thrown Error is
// printed with its code and internal code. Returns whether a token was produced (and, when
// `requireSignature`, a signed one).
bool printMobilePayload(std::ostream& out, bool requireSignature = false);

} // namespace velquor::demo
