#include "util/BaseAddress.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace velquor::detail {
namespace {

TEST(BaseAddress, AcceptsOnlyHttpsDirectoriesWithoutUserQueryOrFragment) {
    for (const char* good :
         {"https://api.example/", "HTTPS://api.example:8443/v1/a/../b/", "https://[::1]:8443/"})
        EXPECT_EQ(BaseAddress::problem(good), std::nullopt) << good;

    const std::string notHttps = "the address is not an https address",
                      noSlash = "the address does not end in \"/\"",
                      extras = "the address has a query or a fragment",
                      user = "the address has user information",
                      notAbsolute = "the address is not an absolute address";
    const std::pair<const char*, std::string> bad[] = {{"http://api.example/", notHttps},
                                                       {"ftp://api.example/", notHttps},
                                                       {"https://api.example", noSlash},
                                                       {"https://api.example/v1", noSlash},
                                                       {"", noSlash},
                                                       {"https://api.example/?a=1/", extras},
                                                       {"https://api.example/#f/", extras},
                                                       {"https://api.example/?", extras},
                                                       {"https://user@api.example/", user},
                                                       {"https://u:pw@api.example/", user},
                                                       {"api.example/", notAbsolute},
                                                       {"https:///", notAbsolute},
                                                       {"https://api example/", notAbsolute}};
    for (const auto& [address, problem] : bad)
        EXPECT_EQ(BaseAddress::problem(address), problem) << address;
}

} // namespace
} // namespace velquor::detail
