// What the flow tests share: a fresh platform for each test, a handler that records where and with
// what it was called, and the checks on its one call.
#pragma once

#include "FoundationSupport.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <tuple>
#include <variant>

namespace velquor::detail {

// For each test: memory services in a temp directory, and the log.
class LayerTest : public testing::Test {
protected:
    std::shared_ptr<LogicLayer> start() { return LogicLayer::create(services.platform(dir.path())); }

    test::ScopedLogSink log;
    test::TempDir dir;
    test::TestServices services;
};

// Where and with what a handler was called.
template <typename Value = std::monostate> struct Call {
    std::optional<Value> value;
    std::optional<Error> error;
    std::thread::id thread;
    bool onGlobalQueue = false;
};

// A handler of either shape, (value, error) or (error), recording each call in `delivery`.
template <typename Value> auto recorder(test::Delivery<Call<Value>>& delivery) {
    return [&delivery](auto... arguments) {
        Call<Value> call{{}, {}, std::this_thread::get_id(), test::MarkingQueues::onGlobalQueue()};
        if constexpr (sizeof...(arguments) == 2)
            std::tie(call.value, call.error) = std::tuple(std::move(arguments)...);
        else
            std::tie(call.error) = std::tuple(std::move(arguments)...);
        delivery.deliver(std::move(call));
    };
}

// The one call: waits for it, then a little more, so a second (wrong) call would show.
template <typename Value>
Call<Value> once(test::Delivery<Call<Value>>& delivery,
                 std::chrono::seconds deadline = std::chrono::seconds(10)) {
    const auto call = delivery.wait(deadline);
    EXPECT_TRUE(call) << "no answer";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(delivery.count(), 1);
    return call.value_or(Call<Value>{});
}

// The library's own error with these codes (internal without its 20000).
inline void expectError(const std::optional<Error>& error, int code, int internalCode) {
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "VelquorErrorDomain");
    EXPECT_EQ(error->code(), code);
    EXPECT_EQ(error->userInfo()["internalErrorCode"], 20000 + internalCode);
    EXPECT_EQ(error->userInfo()["type"], "sdk");
}

} // namespace velquor::detail
