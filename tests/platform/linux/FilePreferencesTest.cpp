#include "platform/linux/FilePreferences.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velquor::detail {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSuite = "com.marvisTel.VelquorSDK";

class FilePreferencesTest : public ::testing::Test {
protected:
    test::TempDir temp_;
    fs::path appDir_ = temp_.path() / "applications" / "com.example.host";
    FilePreferences preferences_{appDir_};
    fs::path file_ = appDir_ / "Preferences" / "com.marvisTel.VelquorSDK.json";
};

// Other handles, instances and processes (here: the file rewritten) change what a handle reads;
// removing the application directory is how a reinstall looks.
TEST_F(FilePreferencesTest, SuitesAreJsonFilesSharedByAllHandlesAndEmptiedByAReinstall) {
    auto first = preferences_.open(kSuite);
    auto second = FilePreferences(appDir_).open(kSuite);
    auto otherSuite = preferences_.open("another.suite");
    ASSERT_TRUE(first && second && otherSuite);
    EXPECT_FALSE(first->boolValue("isPaired").has_value());
    first->setBool("isPaired", true);
    EXPECT_EQ(second->boolValue("isPaired"), true);
    second->setString("tempValue", "tempValue");
    EXPECT_EQ(first->stringValue("tempValue"), "tempValue");
    EXPECT_EQ(nlohmann::json::parse(test::readFile(file_)),
              (nlohmann::json{{"isPaired", true}, {"tempValue", "tempValue"}}));
    EXPECT_EQ(fs::status(file_.parent_path()).permissions(), fs::perms::owner_all);
    EXPECT_FALSE(first->stringValue("isPaired").has_value()) << "values answer only for their own type";
    EXPECT_FALSE(first->boolValue("tempValue").has_value());
    second->remove("isPaired");
    EXPECT_FALSE(first->boolValue("isPaired").has_value());
    EXPECT_EQ(nlohmann::json::parse(test::readFile(file_)), (nlohmann::json{{"tempValue", "tempValue"}}));
    EXPECT_FALSE(otherSuite->stringValue("tempValue").has_value()) << "suites are separate";

    test::writeFile(file_, R"({"isPaired":false,"tempValue":"fromElsewhere"})");
    EXPECT_EQ(first->boolValue("isPaired"), false);
    EXPECT_EQ(first->stringValue("tempValue"), "fromElsewhere");

    fs::remove_all(appDir_);
    EXPECT_FALSE(first->boolValue("isPaired").has_value());
    first->setString("tempValue", "tempValue"); // an old handle writes into a recreated directory
    EXPECT_EQ(preferences_.open(kSuite)->stringValue("tempValue"), "tempValue");

    // A write that fails stays visible in memory, and synchronize reports it.
    fs::remove_all(file_.parent_path());
    test::writeFile(file_.parent_path(), "a file in the way");
    first->setBool("isPaired", true);
    EXPECT_EQ(first->boolValue("isPaired"), true);
    EXPECT_FALSE(first->synchronize());
    fs::remove(file_.parent_path());
    EXPECT_TRUE(first->synchronize()) << "the folder is made again";
    EXPECT_EQ(nlohmann::json::parse(test::readFile(file_)), (nlohmann::json{{"isPaired", true}}));
}

// On a small stack: a settings file nested 100,000 deep is refused without recursing.
TEST_F(FilePreferencesTest, DamagedFileKeepsTheSuiteClosedAndIsLeftByteForByte) {
    auto early = preferences_.open(kSuite); // opened before the damage
    ASSERT_NE(early, nullptr);
    const std::string whole = R"({"isPaired":true,"tempValue":"tempValue"})";
    const std::string deep = "{\"a\":" + std::string(100'000, '[') + std::string(100'000, ']') + "}";
    test::runOnSmallStack([&] {
        for (const std::string& content : {whole.substr(0, whole.size() - 1), std::string("[true]"),
                                           std::string(), std::string("\xff\xfe"), deep}) {
            test::writeFile(file_, content);
            EXPECT_EQ(preferences_.open(kSuite), nullptr) << content.substr(0, 50);
            EXPECT_FALSE(early->stringValue("tempValue").has_value()) << content.substr(0, 50);
            early->setBool("isPaired", false);
            early->remove("tempValue");
            EXPECT_TRUE(test::readFile(file_) == content) << "a damaged file is never replaced";
        }
    });
    test::writeFile(file_, whole);
    ASSERT_NE(preferences_.open(kSuite), nullptr);
    EXPECT_EQ(early->boolValue("isPaired"), true) << "once repaired, the suite opens again";
}

TEST_F(FilePreferencesTest, TwoProcessesWritingAtOnceKeepEachOthersUpdates) {
    ASSERT_NE(preferences_.open(kSuite), nullptr);
    constexpr int kWrites = 40;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    const std::string who = child == 0 ? "child" : "parent";
    auto suite = FilePreferences(appDir_).open(kSuite);
    for (int i = 0; i < kWrites; ++i)
        suite->setString(who + std::to_string(i), "v");
    if (child == 0)
        ::_exit(0);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto stored = nlohmann::json::parse(test::readFile(file_));
    for (int i = 0; i < kWrites; ++i)
        for (const char* writer : {"child", "parent"})
            EXPECT_TRUE(stored.contains(writer + std::to_string(i))) << writer << i;
}

TEST_F(FilePreferencesTest, OpenRefusesUnusableDirectoriesAndNamesAndKeepsFilesInside) {
    fs::create_directories(appDir_.parent_path());
    test::writeFile(appDir_, "a file where the application directory should be");
    EXPECT_EQ(preferences_.open(kSuite), nullptr);
    fs::remove(appDir_);

    // Planted or loosened folders are refused as they are, never narrowed or written into.
    const auto elsewhere = temp_.path() / "planted", prefs = appDir_ / "Preferences";
    fs::create_directories(elsewhere / "Preferences");
    ::chmod((elsewhere / "Preferences").c_str(), 0700);
    for (const std::string plant :
         {"application link", "application 0775", "folder 0750", "foreign folder"}) {
        SCOPED_TRACE(plant);
        if (plant == "application link")
            fs::create_directory_symlink(elsewhere, appDir_);
        else if (plant == "application 0775")
            fs::create_directory(appDir_), ::chmod(appDir_.c_str(), 0775);
        else
            fs::create_directories(prefs), ::chmod(prefs.c_str(), plant == "folder 0750" ? 0750 : 0700);
        ASSERT_TRUE(plant != "foreign folder" || ::chown(prefs.c_str(), 65534, 65534) == 0) << "run as root";
        const fs::path& planted = plant.starts_with("application") ? appDir_ : prefs;
        const unsigned before = test::modeOf(planted);
        EXPECT_EQ(preferences_.open(kSuite), nullptr);
        EXPECT_EQ(test::modeOf(planted), before);
        EXPECT_TRUE(fs::is_empty(elsewhere / "Preferences"));
        fs::remove_all(appDir_);
    }

    EXPECT_EQ(preferences_.open(""), nullptr);
    EXPECT_NE(preferences_.open(kSuite), nullptr);

    // Suite names stay inside the preferences directory.
    auto suite = preferences_.open("../../escape/..");
    ASSERT_NE(suite, nullptr);
    suite->setBool("k", true);
    const auto file = preferences_.suiteFile("../../escape/..");
    EXPECT_EQ(file.parent_path(), appDir_ / "Preferences");
    EXPECT_EQ(file.filename(), "%2E.%2F..%2Fescape%2F...json");
    EXPECT_TRUE(fs::exists(file));
    EXPECT_NE(preferences_.suiteFile("a/b"), preferences_.suiteFile("a%2Fb"));
}

} // namespace
} // namespace velquor::detail
