// The regional service address for a pairing key: keys beginning "02" pair in Europe, "03" in
// Asia-Pacific, every other key (short or empty ones included) in North America.
//
// Holds only the three base addresses; safe to use from any thread.
#pragma once

#include <string>
#include <string_view>

namespace velquor::detail {

class URLManager {
public:
    // Each an absolute https address ending in "/".
    URLManager(std::string northAmericaBaseURL, std::string europeBaseURL, std::string asiaPacificBaseURL);

    // A plain prefix test on the key text; cannot fail.
    const std::string& baseURL(std::string_view pairingKey) const;

private:
    std::string northAmerica_;
    std::string europe_;
    std::string asiaPacific_;
};

} // namespace velquor::detail
