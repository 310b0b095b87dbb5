#include "platform/linux/LinuxNotificationCenter.hpp"

#include "../../support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace velquor::detail {
namespace {

TEST(LinuxNotificationCenter, DeliversToObserversOfTheNameOnlyWithTheSender) {
    LinuxNotificationCenter center;
    std::vector<std::string> calls;
    int sender = 0;
    center.addObserver("reachabilityChanged", [&](const std::string& name, const void* from) {
        calls.push_back("first:" + name + (from == &sender ? ":sender" : ":other"));
    });
    center.addObserver("other", [&](const std::string&, const void*) { calls.push_back("wrong"); });
    center.addObserver("reachabilityChanged",
                       [&](const std::string&, const void*) { calls.push_back("second"); });
    center.post("reachabilityChanged", &sender);
    center.post("nobodyListens", nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"first:reachabilityChanged:sender", "second"}));
}

TEST(LinuxNotificationCenter, ObserverMayRemoveItselfAndOthersDuringACall) {
    LinuxNotificationCenter center;
    int selfCalls = 0, laterCalls = 0, survivorCalls = 0;
    NotificationCenter::ObserverToken self = 0, later = 0;
    self = center.addObserver("n", [&](const std::string&, const void*) {
        ++selfCalls;
        center.removeObserver(self);  // itself: no deadlock
        center.removeObserver(later); // one whose turn has not come in this post
    });
    center.addObserver("n", [&](const std::string&, const void*) { ++survivorCalls; });
    later = center.addObserver("n", [&](const std::string&, const void*) { ++laterCalls; });
    center.post("n", nullptr);
    center.post("n", nullptr);
    EXPECT_EQ(selfCalls, 1);
    EXPECT_EQ(laterCalls, 0);
    EXPECT_EQ(survivorCalls, 2);
    center.removeObserver(self); // removing twice, or an unknown token, is harmless
    center.removeObserver(12345);
}

TEST(LinuxNotificationCenter, ObserverMayPostAndAddFromInsideACall) {
    LinuxNotificationCenter center;
    std::vector<std::string> calls;
    center.addObserver("outer", [&](const std::string&, const void*) {
        calls.push_back("outer");
        center.addObserver("inner", [&](const std::string&, const void*) { calls.push_back("inner"); });
        center.post("inner", nullptr);
    });
    center.post("outer", nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"outer", "inner"}));
}

TEST(LinuxNotificationCenter, ThrowingObserverDoesNotStopTheOthers) {
    LinuxNotificationCenter center;
    int after = 0;
    center.addObserver("n",
                       [](const std::string&, const void*) { throw std::runtime_error("observer failed"); });
    center.addObserver("n", [&](const std::string&, const void*) { ++after; });
    EXPECT_NO_THROW(center.post("n", nullptr));
    EXPECT_EQ(after, 1);
}

TEST(LinuxNotificationCenter, ConcurrentPostsAddsAndRemovesStayConsistent) {
    LinuxNotificationCenter center;
    std::atomic<int> stableCalls{0};
    center.addObserver("n", [&](const std::string&, const void*) { ++stableCalls; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                auto token = center.addObserver("n", [](const std::string&, const void*) {});
                center.post("n", nullptr);
                center.removeObserver(token);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(stableCalls.load(), 2000);
}

} // namespace
} // namespace velquor::detail
