// Bundle facts from the configuration: the host's from HostApplication, the library's from the
// build, and translations from <application directory>/Localizable.json, a flat JSON object of
// key to text that the host may install.
#pragma once

#include <velquor/Velquor.hpp>

#include <filesystem>
#include <optional>
#include <string>

namespace velquor::detail {

// Immutable; thread-safe. Main bundle keys map to HostApplication (an empty field is absent):
// "CFBundleIdentifier" bundleIdentifier, "CFBundleDisplayName" displayName, "CFBundleName"
// name, "CFBundleShortVersionString" shortVersion, "CFBundleVersion" buildVersion. The framework
// bundle answers "CFBundleIdentifier" "com.marvisTel.VelquorSDK", "CFBundleShortVersionString"
// the project version and "CFBundleVersion" the build number. localizedString() reads the file
// on every call, so a translation installed later is found; a missing or malformed file, or a
// value that is no string, gives the fallback.
class ConfiguredBundleInfo final : public BundleInfo {
public:
    ConfiguredBundleInfo(HostApplication host, std::filesystem::path applicationDirectory);

    std::optional<std::string> mainBundleValue(const std::string& key) const override;
    std::string localizedString(const std::string& key, const std::string& fallback) const override;

private:
    HostApplication host_;
    std::filesystem::path localizationFile_;
};

} // namespace velquor::detail
