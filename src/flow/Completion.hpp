// A host completion handler, wrapped once where it enters the library and passed on by every
// layer:
//   - it runs at most once; a second delivery is logged at ERROR and dropped;
//   - an exception it throws is caught, logged at ERROR and ignored, so a host handler never ends
//     one of the library's threads (or unwinds through library code);
//   - an empty host handler makes a completion that does nothing (the outcome is only logged).
// Copies share one call-once state, so a completion fits the public std::function handler
// types; completion() on a std::function that already holds one answers that same completion
// instead of guarding the handler a second time.
//
//   auto handler = completion(std::move(completionHandler), "Velquor/Velquor", "pair(_:completionHandler:)");
//   layer.pair(key, handler); // the layer's own completion() finds this one
//
// Thread-safe; the handler runs on whichever thread calls the completion.
#pragma once

#include "log/Log.hpp"

#include <velquor/Velquor.hpp>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velquor::detail {

template <typename... Args> class Completion {
public:
    Completion(std::function<void(Args...)> handler, std::string_view unit, std::string_view operation)
        : state_(std::make_shared<State>(std::move(handler), std::string(unit), std::string(operation))) {}

    void operator()(Args... args) const {
        State& state = *state_;
        if (state.called.exchange(true)) {
            log("Completion handler delivered twice; the second delivery is dropped", LogLevel::error,
                state.unit, __LINE__, state.operation);
            return;
        }
        if (!state.handler)
            return;
        try {
            state.handler(std::move(args)...);
        } catch (const std::exception& e) {
            log(std::string("Completion handler threw: ") + e.what(), LogLevel::error, state.unit, __LINE__,
                state.operation);
        } catch (...) {
            log("Completion handler threw a non-standard exception", LogLevel::error, state.unit, __LINE__,
                state.operation);
        }
    }

    // Answers `error` as the outcome unless one was already delivered: for a failure that
    // interrupts an operation at any step.
    void failIfPending(Error error) const {
        if (state_->called.load())
            return;
        if constexpr (sizeof...(Args) == 1)
            (*this)(std::move(error));
        else
            (*this)(std::nullopt, std::move(error));
    }

private:
    struct State {
        State(std::function<void(Args...)> h, std::string u, std::string o)
            : handler(std::move(h))
            , unit(std::move(u))
            , operation(std::move(o)) {}
        std::function<void(Args...)> handler;
        std::string unit;
        std::string operation;
        std::atomic<bool> called{false};
    };
    std::shared_ptr<State> state_;
};

// The completion `handler` already holds, or a new one guarding it under `unit` and `operation`.
template <typename... Args>
Completion<Args...> completion(std::function<void(Args...)> handler, std::string_view unit,
                               std::string_view operation) {
    if (const auto* existing = handler.template target<Completion<Args...>>())
        return *existing;
    return Completion<Args...>(std::move(handler), unit, operation);
}

} // namespace velquor::detail

namespace velquor::detail {

// The completions of the public handler types.
using ErrorCompletion = Completion<std::optional<Error>>;
using PairingCompletion = Completion<std::optional<PairingObject>, std::optional<Error>>;
using NotificationCompletion = Completion<std::optional<NotificationObject>, std::optional<Error>>;
using InfoCompletion = Completion<std::optional<Json>, std::optional<Error>>;
using SupportIdCompletion = Completion<std::optional<std::string>, std::optional<Error>>;

} // namespace velquor::detail
