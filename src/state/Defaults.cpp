#include "state/Defaults.hpp"

#include "state/ItemNames.hpp"

namespace velquor::detail {

Defaults::Defaults(std::shared_ptr<Preferences> preferences)
    : preferences_(std::move(preferences)) {}

std::shared_ptr<SettingsSuite> Defaults::openSuite() const {
    return preferences_ ? preferences_->open(std::string(items::kSettingsSuite)) : nullptr;
}

void Defaults::setTempValue() const {
    if (auto suite = openSuite())
        suite->setString(std::string(items::kTempValueKey), std::string(items::kTempValueKey));
}

std::string Defaults::getTempValue() const {
    if (auto suite = openSuite())
        if (auto value = suite->stringValue(std::string(items::kTempValueKey)))
            return *value;
    return "noValue";
}

} // namespace velquor::detail
