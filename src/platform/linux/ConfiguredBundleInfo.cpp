#include "platform/linux/ConfiguredBundleInfo.hpp"

#include "platform/linux/AtomicFile.hpp"
#include "util/BoundedJson.hpp"

namespace velquor::detail {

namespace {
constexpr std::size_t kMaximumLocalizationSize = 4u << 20;

std::optional<std::string> present(const std::string& value) {
    if (value.empty())
        return std::nullopt;
    return value;
}
} // namespace

ConfiguredBundleInfo::ConfiguredBundleInfo(HostApplication host, std::filesystem::path applicationDirectory)
    : host_(std::move(host))
    // No directory (none could be made safe): no translations, rather than a file relative to
    // whatever the working directory is.
    , localizationFile_(applicationDirectory.empty() ? std::filesystem::path()
                                                     : std::move(applicationDirectory) / "Localizable.json") {
}

std::optional<std::string> ConfiguredBundleInfo::mainBundleValue(const std::string& key) const {
    if (key == "CFBundleIdentifier")
        return present(host_.bundleIdentifier);
    if (key == "CFBundleDisplayName")
        return present(host_.displayName);
    if (key == "CFBundleName")
        return present(host_.name);
    if (key == "CFBundleShortVersionString")
        return present(host_.shortVersion);
    if (key == "CFBundleVersion")
        return present(host_.buildVersion);
    return std::nullopt;
}

std::string ConfiguredBundleInfo::localizedString(const std::string& key, const std::string& fallback) const {
    std::string bytes;
    if (AtomicFile::read(localizationFile_, bytes, kMaximumLocalizationSize) != 0)
        return fallback;
    auto table = BoundedJson::parse(bytes);
    if (!table || !table->is_object())
        return fallback;
    auto found = table->find(key);
    if (found == table->end() || !found->is_string())
        return fallback;
    return found->get<std::string>();
}

} // namespace velquor::detail
