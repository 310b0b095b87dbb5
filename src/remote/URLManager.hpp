// The regional service address for a pairing key: keys beginning "02" pair in Europe, "03" in
// Asia-Pacific, every other key (short or empty ones included) in North America. Also the address
// of a stored data-center code ("NA", "EU", "AU"), so a paired device keeps to its region.
//
// Holds only the three base addresses; safe to use from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velquor::detail {

class URLManager {
public:
    // Each an absolute https address ending in "/".
    URLManager(std::string northAmericaBaseURL, std::string europeBaseURL, std::string asiaPacificBaseURL);

    // A plain prefix test on the key text; cannot fail.
    const std::string& baseURL(std::string_view pairingKey) const;
    // The data-center code of the key's region: "EU", "AU" or "NA", by the same prefix test.
    static std::string regionCode(std::string_view pairingKey);
    // The address of a stored "dataCenter"; absent or any text but "EU" and "AU" (exact case) is
    // North America.
    const std::string& baseURLForDataCenter(const std::optional<std::string>& dataCenter) const;

private:
    std::string northAmerica_;
    std::string europe_;
    std::string asiaPacific_;
};

} // namespace velquor::detail
