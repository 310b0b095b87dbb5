#include "device/DeviceInfo.hpp"

#include "util/Utf8.hpp"

namespace velquor::detail {

DeviceInfo::DeviceInfo(std::shared_ptr<DeviceFacts> facts, std::shared_ptr<const BundleInfo> bundle)
    : facts_(std::move(facts))
    , bundle_(std::move(bundle)) {}

std::string DeviceInfo::modelIdentifier() const {
    std::optional<std::string> model = facts_->modelIdentifier();
    return model ? sanitizeUtf8(*model) : "unknown";
}

std::string DeviceInfo::localeText(const DeviceFacts::Locale& locale) {
    if (!locale.regionCode)
        return "";
    std::string region = sanitizeUtf8(*locale.regionCode);
    if (!locale.languageCode)
        return region;
    return sanitizeUtf8(*locale.languageCode) + "-" + region;
}

std::string DeviceInfo::localeText() const {
    return localeText(facts_->currentLocale());
}

std::string DeviceInfo::appName() const {
    if (!bundle_)
        return "";
    if (auto displayName = bundle_->mainBundleValue("CFBundleDisplayName"))
        return sanitizeUtf8(*displayName);
    if (auto name = bundle_->mainBundleValue("CFBundleName"))
        return sanitizeUtf8(*name);
    return "";
}

} // namespace velquor::detail
