#include "platform/linux/LinuxNotificationCenter.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace velquor::detail {
namespace {

TEST(LinuxNotificationCenter, DeliversToObserversOfTheNameOnlyWithTheSenderPastOneThatThrows) {
    LinuxNotificationCenter center;
    std::vector<std::string> calls;
    int sender = 0;
    center.addObserver("reachabilityChanged", [&](const std::string& name, const void* from) {
        calls.push_back("first:" + name + (from == &sender ? ":sender" : ":other"));
    });
    center.addObserver("other", [&](const std::string&, const void*) { calls.push_back("wrong"); });
    center.addObserver("reachabilityChanged",
                       [](const std::string&, const void*) { throw std::runtime_error("observer failed"); });
    center.addObserver("reachabilityChanged",
                       [&](const std::string&, const void*) { calls.push_back("second"); });
    EXPECT_NO_THROW(center.post("reachabilityChanged", &sender));
    center.post("nobodyListens", nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"first:reachabilityChanged:sender", "second"}));
}

TEST(LinuxNotificationCenter, ObserverMayRemovePostAndAddDuringACall) {
    LinuxNotificationCenter center;
    int selfCalls = 0, laterCalls = 0, survivorCalls = 0, innerCalls = 0;
    NotificationCenter::ObserverToken self = 0, later = 0;
    self = center.addObserver("n", [&](const std::string&, const void*) {
        ++selfCalls;
        center.removeObserver(self);  // itself: no deadlock
        center.removeObserver(later); // one whose turn has not come in this post
    });
    center.addObserver("n", [&](const std::string&, const void*) {
        if (++survivorCalls == 1) { // an observer added and posted to from inside a call
            center.addObserver("inner", [&](const std::string&, const void*) { ++innerCalls; });
            center.post("inner", nullptr);
        }
    });
    later = center.addObserver("n", [&](const std::string&, const void*) { ++laterCalls; });
    center.post("n", nullptr);
    center.post("n", nullptr);
    EXPECT_EQ(selfCalls, 1);
    EXPECT_EQ(laterCalls, 0);
    EXPECT_EQ(survivorCalls, 2);
    EXPECT_EQ(innerCalls, 1);
    center.removeObserver(self); // removing twice, or an unknown token, is harmless
    center.removeObserver(12345);
}

TEST(LinuxNotificationCenter, ConcurrentPostsAddsAndRemovesStayConsistent) {
    LinuxNotificationCenter center;
    std::atomic<int> stableCalls{0};
    center.addObserver("n", [&](const std::string&, const void*) { ++stableCalls; });
    for (std::vector<std::jthread> threads; threads.size() < 4;) // joined as the loop ends
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                auto token = center.addObserver("n", [](const std::string&, const void*) {});
                center.post("n", nullptr);
                center.removeObserver(token);
            }
        });
    EXPECT_EQ(stableCalls.load(), 2000);
}

} // namespace
} // namespace velquor::detail
