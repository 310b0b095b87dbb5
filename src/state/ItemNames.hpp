// The names the library stores its state under: key store items, key tags and the settings
// suite. Compile-time constants, so a host's global constructor may use the library before this
// unit's initialisers would have run, and a library thread still working during exit never
// reads a destroyed string.
#pragma once

#include <string_view>

namespace velquor::detail::items {

using namespace std::string_view_literals;

// --- key store string items ------------------------------------------------------------------
// Present (whatever its value): the device is paired.
inline constexpr std::string_view kIsPaired = "isPaired";
inline constexpr std::string_view kStayPaired = "stayPaired";
inline constexpr std::string_view kDeviceFingerprint = "deviceFingerprint";
inline constexpr std::string_view kDeviceTokenStr = "deviceTokenStr";
inline constexpr std::string_view kInstalledApplicationID = "installedApplicationID";
inline constexpr std::string_view kMobileDeviceID = "mobileDeviceID";
inline constexpr std::string_view kDataCenter = "dataCenter";
inline constexpr std::string_view kLogsKey = "logsKey";
inline constexpr std::string_view kDeviceMarketName = "deviceMarketName";

// --- key tags ----------------------------------------------------------------------------------
// The two device tags end in one zero byte, which belongs to the tag: stored keys are found by it.
inline constexpr std::string_view kDevicePublicKeyTag = "com.marvistel.quenzo.sid_publickey\0"sv;
inline constexpr std::string_view kDevicePrivateKeyTag = "com.marvistel.quenzo.sid_privatekey\0"sv;
inline constexpr std::string_view kServerPublicKeyTag = "serverPublicKeyIdentifier";

// --- settings suite ----------------------------------------------------------------------------
// The suite name, also the library's bundle identifier.
inline constexpr std::string_view kSettingsSuite = "com.marvisTel.VelquorSDK";
inline constexpr std::string_view kTempValueKey = "tempValue";
inline constexpr std::string_view kSuiteIsPairedKey = "isPaired";

} // namespace velquor::detail::items
