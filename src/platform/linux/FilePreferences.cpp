#include "platform/linux/FilePreferences.hpp"

#include "log/Log.hpp"
#include "platform/linux/FileSettingsSuite.hpp"
#include "platform/linux/PathComponent.hpp"
#include "platform/linux/SafeDirectory.hpp"

#include <atomic>
#include <cstring>

namespace velquor::detail {

namespace {

constexpr const char* kUnit = "platform/FilePreferences";

// Once per process and kind: open() runs on every settings access. Not call_once, so a log sink
// that reads settings itself cannot deadlock on it.
void logOnce(std::atomic<bool>& logged, const std::string& message) {
    if (!logged.exchange(true))
        VQ_LOG(LogLevel::error, kUnit, "open", message);
}

std::atomic<bool> gRefusalLogged{false};
std::atomic<bool> gDamageLogged{false};

} // namespace

FilePreferences::FilePreferences(std::filesystem::path applicationDirectory)
    : applicationDirectory_(std::move(applicationDirectory)) {}

std::filesystem::path FilePreferences::suiteFile(const std::string& suiteName) const {
    return applicationDirectory_ / "Preferences" / (PathComponent::encode(suiteName) + ".json");
}

std::shared_ptr<SettingsSuite> FilePreferences::open(const std::string& suiteName) {
    if (suiteName.empty())
        return nullptr;
    SafeDirectory application;
    SafeDirectory folder;
    int error =
        SafeDirectory::open(applicationDirectory_, SafeDirectory::Access::ownerWritable, true, application);
    if (error == 0)
        error = application.openChild("Preferences", SafeDirectory::Access::ownerOnly, true, folder);
    if (error != 0) {
        logOnce(gRefusalLogged, "Settings folder in " + applicationDirectory_.string() +
                                    " refused: " + std::strerror(error) +
                                    " (the application directory must be this user's and writable by no one "
                                    "else, its Preferences folder this user's with mode 0700)");
        return nullptr;
    }
    try {
        auto suite = std::make_shared<FileSettingsSuite>(applicationDirectory_,
                                                         PathComponent::encode(suiteName) + ".json");
        if (suite->isDamaged()) {
            logOnce(gDamageLogged, "Settings file " + suiteFile(suiteName).string() +
                                       " is damaged; it is left as it is and the suite stays closed");
            return nullptr;
        }
        return suite;
    } catch (const std::exception&) {
        return nullptr;
    }
}

} // namespace velquor::detail
