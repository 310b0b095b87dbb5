// Whole-process behaviour, each scenario in a fresh child process (velquor_test_host): start-up
// runs once and only when needed, a throwing host service strands no caller, and the process
// exits promptly with work still queued.
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace velquor::test {
namespace {

ChildResult runHost(const std::string& scenario, const std::filesystem::path& directory) {
    return runChild(VELQUOR_TEST_HOST, {scenario, directory.string()}, std::chrono::seconds(20));
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

void expectCleanExit(const ChildResult& child) {
    ASSERT_TRUE(child.finished) << "the child hung; output:\n" << child.output;
    EXPECT_TRUE(child.exitedNormally) << "signal " << child.signal << "; output:\n" << child.output;
    EXPECT_EQ(child.exitStatus, 0) << child.output;
}

// The object processIdToken makes has no layer of its own: approving it starts the process's,
// once, however many other threads make their first call at the same time.
TEST(VelquorProcess, ProcessIdTokenStartsNothingUntilItsObjectIsApproved) {
    TempDir dir;
    ChildResult child = runHost("idtoken-only", dir.path());
    expectCleanExit(child);
    EXPECT_NE(child.output.find("code=10005 internal=20018"), std::string::npos) << child.output;
    const auto beforeApproval = child.output.find("init-lines=0");
    EXPECT_LT(beforeApproval, child.output.find("Velquor Version")) << child.output;
    EXPECT_NE(child.output.find("approved=20001 init-lines=1"), std::string::npos) << child.output;
    EXPECT_EQ(occurrences(child.output, "Velquor Version 1.0.0(92)\n"), 1u) << child.output;
}

// The handlers sleep 30 s: a process that waited for them would miss the 20 s deadline. A host
// thread signs payloads meanwhile (the asan preset turns a name freed under it into a crash).
TEST(VelquorProcess, LeavingWithWorkQueuedExitsAtOnce) {
    for (const char* scenario : {"exit-with-queued-work-return", "exit-with-queued-work-exit"}) {
        SCOPED_TRACE(scenario);
        TempDir dir;
        ChildResult child = runHost(scenario, dir.path());
        expectCleanExit(child);
        EXPECT_NE(child.output.find("queued"), std::string::npos);
        EXPECT_EQ(child.output.find("handler finished"), std::string::npos);
    }
}

// One throwing host service skips its start-up step only: start-up runs once and every
// asynchronous handler still answers once, on a library thread.
TEST(VelquorProcess, AThrowingHostServiceStrandsNoCaller) {
    for (const char* service : {"console", "preferences"}) {
        SCOPED_TRACE(service);
        TempDir dir;
        ChildResult child = runHost(std::string("throwing-") + service, dir.path());
        expectCleanExit(child);
        EXPECT_NE(child.output.find("calls=3 on-caller=0 init-lines=1 skipped=1"), std::string::npos)
            << child.output;
    }
}

// A host's global constructor gets the answer main gets.
TEST(VelquorProcess, AGlobalConstructorGetsThePayloadMainGets) {
    TempDir dir;
    ChildResult child = runHost("payload-before-main", dir.path());
    expectCleanExit(child);
    EXPECT_NE(child.output.find("before-main=payload main=payload"), std::string::npos) << child.output;
}

} // namespace
} // namespace velquor::test
