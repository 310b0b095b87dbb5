// The description of one request to the service: where it goes, which claims it adds to the
// request token, its name in the log and, for the log upload only, the file it carries.
//
//   Substance request("https://host/v1/push?x=1", Json{{"action", "approve"}}, "validatePush",
//                     "com.example.app");
//   request.urlString;   // "https://host/v1/push?x=1&bundleId=com.example.app"
//
// A plain value made for one request; not shared between threads.
#pragma once

#include <velquor/Velquor.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velquor::detail {

class Substance {
public:
    // Runs the bundle step on `urlString` with the host application's bundle identifier
    // (absent: the empty text).
    Substance(std::string urlString, std::optional<Json> params, std::string name,
              const std::optional<std::string>& hostBundleIdentifier);

    // The bundle step: an absolute address that already has a query gets one more member,
    // bundleId=<identifier>, after its own; an address without a query, or one that does not
    // parse, comes back unchanged.
    static std::string addingBundleIdentifier(const std::string& urlString,
                                              const std::optional<std::string>& hostBundleIdentifier);

    std::string urlString;
    // A JSON object of request-specific claims, or absent.
    std::optional<Json> params;
    std::string name;
    // The ZIP file of the log upload; absent for every other request.
    std::optional<std::vector<std::uint8_t>> logData;
};

} // namespace velquor::detail
