// Whole-process behaviour, each scenario in a fresh child process (velquor_test_host), checked by
// all it writes to standard output (the version line is the start-up's, on the standard console).
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <string>

namespace velquor::test {
namespace {

// The object processIdToken makes has no layer of its own: approving it starts the process's,
// once, however many other threads make their first call at the same time. Leaving with work
// queued exits at once: the handlers sleep 30 s, past the deadline. One throwing host service skips
// its start-up step only: start-up runs once and every asynchronous handler still answers once, on
// a library thread. A host's global constructor gets the answer main gets, with no start-up.
TEST(VelquorProcess, ScenariosEndCleanlyHavingWrittenWhatTheyShould) {
    const std::string version = "Velquor Version 1.0.0(92)\n";
    const std::pair<const char*, std::string> scenarios[] = {
        {"idtoken-only", "init-lines=0\n" + version + "approved=20001 init-lines=1\n"},
        {"exit-with-work-return", version + "queued\n"},
        {"exit-with-work-exit", version + "queued\n"},
        {"throwing-console", "calls=3 on-caller=0 init-lines=1 skipped=1\n"},
        {"throwing-preferences", version + "calls=3 on-caller=0 init-lines=1 skipped=1\n"},
        {"payload-before-main", "before-main=payload main=payload\n"}};
    for (const auto& [name, output] : scenarios) {
        SCOPED_TRACE(name);
        TempDir dir;
        expectChildExit(VELQUOR_TEST_HOST, {name, dir.path().string()}, 0, output, std::chrono::seconds(20));
    }
}

} // namespace
} // namespace velquor::test
