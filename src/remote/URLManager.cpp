#include "remote/URLManager.hpp"

namespace velquor::detail {

URLManager::URLManager(std::string northAmericaBaseURL, std::string europeBaseURL,
                       std::string asiaPacificBaseURL)
    : northAmerica_(std::move(northAmericaBaseURL))
    , europe_(std::move(europeBaseURL))
    , asiaPacific_(std::move(asiaPacificBaseURL)) {}

const std::string& URLManager::baseURL(std::string_view pairingKey) const {
    if (pairingKey.starts_with("02"))
        return europe_;
    if (pairingKey.starts_with("03"))
        return asiaPacific_;
    return northAmerica_;
}

std::string URLManager::regionCode(std::string_view pairingKey) {
    if (pairingKey.starts_with("02"))
        return "EU";
    if (pairingKey.starts_with("03"))
        return "AU";
    return "NA";
}

const std::string& URLManager::baseURLForDataCenter(const std::optional<std::string>& dataCenter) const {
    if (dataCenter == "EU")
        return europe_;
    if (dataCenter == "AU")
        return asiaPacific_;
    return northAmerica_;
}

} // namespace velquor::detail
