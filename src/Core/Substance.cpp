#include "Core/Substance.hpp"

#include "Core/URL.hpp"
#include "platform/PlatformContext.hpp"

namespace velquor::detail {

Substance::Substance(std::string urlString, std::optional<Json> params, std::string name)
    : Substance(std::move(urlString), std::move(params), std::move(name),
                PlatformContext::get().services.bundle->mainBundleValue("CFBundleIdentifier")) {}

Substance::Substance(std::string urlString, std::optional<Json> params, std::string name,
                     const std::optional<std::string>& hostBundleIdentifier)
    : urlString(addingBundleIdentifier(urlString, hostBundleIdentifier))
    , params(std::move(params))
    , name(std::move(name)) {}

std::string Substance::addingBundleIdentifier(const std::string& urlString,
                                              const std::optional<std::string>& hostBundleIdentifier) {
    std::optional<URL> url = URL::parse(urlString);
    // Addresses built from the base addresses carry no query and stay as they are: the item is
    // only added where a query already exists.
    if (!url || !url->query())
        return urlString;
    url->appendQueryItem("bundleId", hostBundleIdentifier.value_or(""));
    std::string rebuilt = url->toString();
    if (!URL::parse(rebuilt))
        return urlString;
    return rebuilt;
}

} // namespace velquor::detail
