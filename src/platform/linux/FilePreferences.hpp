// The Linux preferences: each settings suite is the file
// <application directory>/Preferences/<suite name>.json (the name percent-encoded where it is no
// safe file name), so deleting the application directory deletes every suite.
#pragma once

#include <velquor/Platform.hpp>

#include <filesystem>
#include <memory>
#include <string>

namespace velquor::detail {

// Thread-safe. open() creates the application directory and its Preferences folder (mode 0700,
// parents included) and answers null when the suite name is empty, when either cannot be
// created or is not safe (the application directory must be this user's and writable by no one
// else, the Preferences folder this user's with mode 0700, neither a link), or when the suite's
// file is damaged; the last two are logged at ERROR once per process. Handles are
// FileSettingsSuite and share their state per file across this process.
class FilePreferences final : public Preferences {
public:
    explicit FilePreferences(std::filesystem::path applicationDirectory);

    std::shared_ptr<SettingsSuite> open(const std::string& suiteName) override;

    // Where the suite of that name is stored.
    std::filesystem::path suiteFile(const std::string& suiteName) const;

private:
    std::filesystem::path applicationDirectory_;
};

} // namespace velquor::detail
