// Wraps a host completion handler for delivery from the library's threads:
//   - an empty handler stays empty (callers then only log the outcome);
//   - the handler runs at most once; a second delivery is logged at ERROR and dropped;
//   - an exception thrown by the handler is caught, logged at ERROR and ignored, so a host
//     handler never ends one of the library's threads (or unwinds through library code).
//
//   ErrorHandler safe = HandlerGuard::wrap(std::move(handler), "Velquor/Velquor",
//   "pair(_:completionHandler:)");
//
// The wrapper is thread-safe and runs the handler on whichever thread calls it.
#pragma once

#include "log/Log.hpp"

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace velquor::detail {

class HandlerGuard {
public:
    template <typename... Args>
    static std::function<void(Args...)> wrap(std::function<void(Args...)> handler, std::string_view unit,
                                             std::string_view operation) {
        if (!handler)
            return {};
        auto called = std::make_shared<std::atomic<bool>>(false);
        return [handler = std::move(handler), called, unit = std::string(unit),
                operation = std::string(operation)](Args... args) {
            if (called->exchange(true)) {
                log("Completion handler delivered twice; the second delivery is dropped", LogLevel::error,
                    unit, __LINE__, operation);
                return;
            }
            try {
                handler(std::move(args)...);
            } catch (const std::exception& e) {
                log(std::string("Completion handler threw: ") + e.what(), LogLevel::error, unit, __LINE__,
                    operation);
            } catch (...) {
                log("Completion handler threw a non-standard exception", LogLevel::error, unit, __LINE__,
                    operation);
            }
        };
    }
};

} // namespace velquor::detail
