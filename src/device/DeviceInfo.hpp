// Device facts as the device data writes them: the hardware model identifier, the locale text
// and the host application's name. Texts that are not valid UTF-8 are cleaned (U+FFFD).
//
// Holds only its collaborators; thread-safe.
#pragma once

#include <velquor/DeviceFacts.hpp>
#include <velquor/Platform.hpp>

#include <memory>
#include <string>

namespace velquor::detail {

class DeviceInfo {
public:
    DeviceInfo(std::shared_ptr<DeviceFacts> facts, std::shared_ptr<const BundleInfo> bundle);

    // "unknown" when the system does not say.
    std::string modelIdentifier() const;
    // "en-US"; the region alone without a language; "" without a region.
    std::string localeText() const;
    // "CFBundleDisplayName", else "CFBundleName", else "".
    std::string appName() const;

    static std::string localeText(const DeviceFacts::Locale& locale);

private:
    std::shared_ptr<DeviceFacts> facts_;
    std::shared_ptr<const BundleInfo> bundle_;
};

} // namespace velquor::detail
