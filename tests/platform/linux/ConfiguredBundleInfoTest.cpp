#include "platform/linux/ConfiguredBundleInfo.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace velquor::detail {
namespace {

TEST(ConfiguredBundleInfo, ValuesComeFromTheHostEmptyMeansAbsentAndStringsFromItsTable) {
    test::TempDir dir;
    ConfiguredBundleInfo bundle({"com.example.host", "", "Host", "2.1", "7"}, dir.path());
    // The identifier and both versions are read into every log line (LogFileTest).
    EXPECT_FALSE(bundle.mainBundleValue("CFBundleDisplayName").has_value());
    EXPECT_EQ(bundle.mainBundleValue("CFBundleName"), "Host");
    EXPECT_FALSE(bundle.mainBundleValue("CFBundleExecutable").has_value());

    // Localized strings come from the host's table in the directory, or the fallback.
    EXPECT_EQ(bundle.localizedString("Authenticate", "Authenticate"), "Authenticate") << "no table";
    const auto table = dir.path() / "Localizable.json";
    std::ofstream(table) << R"({"Authenticate":"Bestätigen","Deny":42})";
    EXPECT_EQ(bundle.localizedString("Authenticate", "Authenticate"), "Bestätigen");
    EXPECT_EQ(bundle.localizedString("Deny", "Deny"), "Deny") << "a value that is no text";
    EXPECT_EQ(bundle.localizedString("Missing", "Missing"), "Missing");
    std::ofstream(table, std::ios::trunc) << R"({"Authenticate": )";
    EXPECT_EQ(bundle.localizedString("Authenticate", "Authenticate"), "Authenticate") << "malformed table";
}

} // namespace
} // namespace velquor::detail
