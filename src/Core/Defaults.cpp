#include "Core/Defaults.hpp"

#include "platform/PlatformContext.hpp"

namespace velquor::detail {

Defaults::Defaults()
    : preferences_(PlatformContext::get().services.preferences) {}

Defaults::Defaults(std::shared_ptr<Preferences> preferences)
    : preferences_(std::move(preferences)) {}

std::shared_ptr<SettingsSuite> Defaults::openSuite() const {
    return preferences_ ? preferences_->open(kSuiteName) : nullptr;
}

void Defaults::setTempValue() const {
    if (auto suite = openSuite())
        suite->setString(kTempValueKey, kTempValueKey);
}

std::string Defaults::getTempValue() const {
    if (auto suite = openSuite())
        if (auto value = suite->stringValue(kTempValueKey))
            return *value;
    return "noValue";
}

} // namespace velquor::detail
