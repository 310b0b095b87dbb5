// Settings suites in memory with failures on demand, for tests of the code above the suite.
//
//   auto preferences = std::make_shared<MemoryPreferences>();
//   preferences->setCannotOpen(true);   // open() answers null, as for an unusable directory
//   preferences->setLosesWrites(true);  // set/remove succeed but store nothing (a lost probe)
//   preferences->reinstall();           // every suite emptied, as after a host reinstall
//
// All handles of one MemoryPreferences share its suites, so a write through one handle is seen
// through every other, as with FilePreferences.
#pragma once

#include <velquor/Platform.hpp>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace velquor::detail {

// Thread-safe, handles included. No callbacks.
class MemoryPreferences final : public Preferences {
public:
    using Value = std::variant<bool, std::string>;

    MemoryPreferences();

    // Null while set.
    std::shared_ptr<SettingsSuite> open(const std::string& suiteName) override;

    void setCannotOpen(bool cannotOpen);
    // While set, setBool/setString/remove change nothing, and synchronize() still answers true:
    // the failure is silent, as with a store that drops writes.
    void setLosesWrites(bool losesWrites);
    // While set, synchronize() answers false.
    void setSynchronizeFails(bool fails);

    // Inspection and set-up without a handle.
    std::optional<Value> value(const std::string& suiteName, const std::string& key) const;
    void setValue(const std::string& suiteName, const std::string& key, Value value);
    int openCount() const;
    // Empties every suite.
    void reinstall();

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

} // namespace velquor::detail
