// The settings suite "com.marvisTel.VelquorSDK": the probe the reinstall check writes and reads.
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
    // The suite name, also the library's bundle identifier.
    static constexpr const char* kSuiteName = "com.marvisTel.VelquorSDK";
    static constexpr const char* kTempValueKey = "tempValue";
    static constexpr const char* kIsPairedKey = "isPaired";

    // Uses the process's preferences.
    Defaults();
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
