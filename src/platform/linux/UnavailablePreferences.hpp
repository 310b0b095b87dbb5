// The preferences of a process that has no safe place for them: no suite can be opened, so
// writes are skipped and reads answer their defaults.
#pragma once

#include <velquor/Platform.hpp>

namespace velquor::detail {

// Stateless and thread-safe. No callbacks.
class UnavailablePreferences final : public Preferences {
public:
    std::shared_ptr<SettingsSuite> open(const std::string&) override { return nullptr; }
};

} // namespace velquor::detail
