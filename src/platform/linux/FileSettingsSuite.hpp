// One settings suite stored as a flat JSON object in one file.
#pragma once

#include <velquor/Platform.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace velquor::detail {

// Thread-safe. Every handle on the same file in this process shares one in-memory state, so a
// write through one handle is seen at once through all others. Each access opens the folder
// afresh and safely (SafeDirectory: the application directory the user's and writable by no one
// else, the Preferences folder the user's with mode 0700) and re-reads the file when it changed
// on disk (another process wrote it, or it was deleted together with the application directory,
// which empties the suite). Each set/remove re-reads and writes the whole file atomically under
// an flock on the Preferences folder, so writers in several processes keep each other's changes;
// when that write fails the change stays in memory, later reads see it, and synchronize()
// retries and answers false until a write succeeds.
//
// A file that is not a JSON object (damaged, or nested deeper than the JSON limit) is never
// replaced: while it stays so, reads answer nothing, writes are skipped and isDamaged() is true.
// An empty suite in its place would make the device look like a reinstalled host. Only JSON
// booleans answer boolValue() and only strings answer stringValue(). Strings that are not valid
// UTF-8 are stored with U+FFFD in place of the bad bytes.
class FileSettingsSuite final : public SettingsSuite {
public:
    // `fileName` is one path component inside `applicationDirectory`/Preferences.
    FileSettingsSuite(const std::filesystem::path& applicationDirectory, const std::string& fileName);

    // True when the file exists and cannot be read as a suite (checked now).
    bool isDamaged();

    std::optional<bool> boolValue(const std::string& key) override;
    std::optional<std::string> stringValue(const std::string& key) override;
    void setBool(const std::string& key, bool value) override;
    void setString(const std::string& key, const std::string& value) override;
    void remove(const std::string& key) override;
    bool synchronize() override;

    struct Storage;

private:
    std::shared_ptr<Storage> storage_;
};

} // namespace velquor::detail
