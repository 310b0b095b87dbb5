#include "platform/linux/FilePreferences.hpp"

#include "platform/linux/AtomicFile.hpp"
#include "platform/linux/FileSettingsSuite.hpp"
#include "platform/linux/PathComponent.hpp"

#include <unistd.h>

namespace velquor::detail {

FilePreferences::FilePreferences(std::filesystem::path applicationDirectory)
    : directory_(std::move(applicationDirectory) / "Preferences") {}

std::filesystem::path FilePreferences::suiteFile(const std::string& suiteName) const {
    return directory_ / (PathComponent::encode(suiteName) + ".json");
}

std::shared_ptr<SettingsSuite> FilePreferences::open(const std::string& suiteName) {
    if (suiteName.empty())
        return nullptr;
    if (AtomicFile::ensureDirectory(directory_) != 0 || ::access(directory_.c_str(), W_OK | X_OK) != 0)
        return nullptr;
    try {
        return std::make_shared<FileSettingsSuite>(suiteFile(suiteName));
    } catch (const std::exception&) {
        return nullptr;
    }
}

} // namespace velquor::detail
