// The Linux preferences: each settings suite is the file
// <application directory>/Preferences/<suite name>.json (the name percent-encoded where it is no
// safe file name), so deleting the application directory deletes every suite.
#pragma once

#include <velquor/Platform.hpp>

#include <filesystem>
#include <memory>
#include <string>

namespace velquor::detail {

// Thread-safe. open() creates the Preferences directory (mode 0700, parents included) and
// answers null when it cannot be created or written to, or the suite name is empty. Handles
// are FileSettingsSuite and share their state per file across this process.
class FilePreferences final : public Preferences {
public:
    explicit FilePreferences(std::filesystem::path applicationDirectory);

    std::shared_ptr<SettingsSuite> open(const std::string& suiteName) override;

    // Where the suite of that name is stored.
    std::filesystem::path suiteFile(const std::string& suiteName) const;

private:
    std::filesystem::path directory_;
};

} // namespace velquor::detail
