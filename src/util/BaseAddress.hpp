// The rule every service base address meets before the library uses it: an absolute "https"
// address with a non-empty host, an optional port, a path ending in "/", and no user
// information, query or fragment. The build applies the same rule to its built-in addresses.
//
//   if (auto why = BaseAddress::problem("http://api.example/")) log(*why);
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velquor::detail {

// Stateless; safe from any thread.
class BaseAddress {
public:
    // Why `address` is refused, or nullopt when it is accepted.
    static std::optional<std::string> problem(std::string_view address);
};

} // namespace velquor::detail
