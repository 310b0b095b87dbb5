#include "device/DataManager.hpp"

#include "DeviceTestSupport.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

using namespace std::chrono_literals;

// Builds ask for fresh permission texts at most once a second by the manager's clock; an explicit
// refresh always asks and counts as the latest request. Each background read is one request.
TEST(DataManagerRefreshTest, BuildsRefreshPermissionsAtMostOnceASecond) {
    test::DeviceFixture fixture;
    auto manager = DataManager::make(fixture.collaborators());
    struct Step {
        std::chrono::milliseconds advance;
        bool explicitRefresh;
        int reads;
    };
    const Step steps[] = {
        {0ms, false, 1},   // the first build asks
        {0ms, false, 1},   // one at the same instant does not
        {999ms, false, 1}, //
        {1ms, false, 2},   // a second after the last request
        {0ms, true, 3},    // refreshPermissions() always asks
        {500ms, false, 3}, // and restarts the second
        {-10s, false, 4},  // a clock set back asks again
        {0ms, false, 4},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        fixture.now += steps[i].advance;
        if (steps[i].explicitRefresh)
            manager->refreshPermissions();
        else
            (void)manager->getDeviceData();
        // The read is queued on the main queue by the call: once a later task ran, it has too.
        test::Gate drained;
        fixture.queues->asyncMain([&] { drained.open(); });
        ASSERT_TRUE(drained.wait());
        EXPECT_EQ(fixture.facts->backgroundReads(), steps[i].reads);
    }
}

} // namespace
} // namespace velquor::detail
