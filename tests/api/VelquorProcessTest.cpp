// Whole-process behaviour, each scenario in a fresh child process (velquor_test_host), checked by
// all it writes to standard output (the version line is the start-up's, on the standard console).
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <string>

namespace velquor::test {
namespace {

constexpr const char* kVersionLine = "Velquor Version 1.0.0(92)\n";

struct Scenario {
    const char* name;
    std::string output;
    friend void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }
};

class VelquorProcess : public testing::TestWithParam<Scenario> {};

TEST_P(VelquorProcess, EndsCleanlyHavingWrittenWhatItShould) {
    TempDir dir;
    expectChildExit(VELQUOR_TEST_HOST, {GetParam().name, dir.path().string()}, 0, GetParam().output,
                    std::chrono::seconds(20));
}

// The object processIdToken makes has no layer of its own: approving it starts the process's,
// once, however many other threads make their first call at the same time. Leaving with work
// queued exits at once: the handlers sleep 30 s, past the deadline. One throwing host service skips
// its start-up step only: start-up runs once and every asynchronous handler still answers once, on
// a library thread. A host's global constructor gets the answer main gets, with no start-up.
INSTANTIATE_TEST_SUITE_P(
    Scenarios, VelquorProcess,
    testing::Values(Scenario{"idtoken-only", std::string("code=10005 internal=20018\ninit-lines=0\n") +
                                                 kVersionLine + "approved=20001 init-lines=1\n"},
                    Scenario{"exit-with-work-return", std::string(kVersionLine) + "queued\n"},
                    Scenario{"exit-with-work-exit", std::string(kVersionLine) + "queued\n"},
                    Scenario{"throwing-console", "calls=3 on-caller=0 init-lines=1 skipped=1\n"},
                    Scenario{"throwing-preferences",
                             std::string(kVersionLine) + "calls=3 on-caller=0 init-lines=1 skipped=1\n"},
                    Scenario{"payload-before-main", "before-main=payload main=payload\n"}),
    [](const auto& info) {
        std::string name = info.param.name;
        std::erase(name, '-');
        return name;
    });

} // namespace
} // namespace velquor::test
