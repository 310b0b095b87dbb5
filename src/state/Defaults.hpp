// The settings suite (items::kSettingsSuite): the probe the reinstall check writes and reads.
// The suite is opened afresh for every access and never cached; a suite that cannot be opened
// turns writes into no-ops and reads into their defaults.
//
// Holds no state besides its Preferences handle; thread-safe as far as the Preferences is.
#pragma once

#include <velquor/Platform.hpp>

#include <memory>
#include <string>

namespace velquor::detail {

class Defaults {
public:
    explicit Defaults(std::shared_ptr<Preferences> preferences);

    // Stores the text "tempValue" under "tempValue".
    void setTempValue() const;
    // The text under "tempValue", or "noValue" when the suite cannot be opened or has none.
    std::string getTempValue() const;

    // The suite, opened now; null when it cannot be opened.
    std::shared_ptr<SettingsSuite> openSuite() const;

private:
    std::shared_ptr<Preferences> preferences_;
};

} // namespace velquor::detail
