#include "platform/PlatformContext.hpp"

#include "platform/linux/ThreadPoolDispatchQueues.hpp"
#include "platform/memory/MemoryKeyStore.hpp"

#include "TestSupport.hpp"

#include "velquor_build/BuildConstants.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <tuple>

namespace velquor::detail {
namespace {

namespace fs = std::filesystem;

// Without a bundle identifier the executable path names the directories, under HOME when the data
// directory is not absolute.
TEST(PlatformContextResolve, FillsEveryDefaultPerHostUnderTheDataDirectoryOrHome) {
    test::TempDir data, home;
    test::ScopedEnv xdg("XDG_DATA_HOME", data.path().string()); // restored at the end
    Configuration configuration;
    configuration.hostApplication.bundleIdentifier = "com.example/host";
    const Platform platform = PlatformContext::resolve(configuration);
    const auto& resolved = platform.configuration;

    EXPECT_EQ(resolved.northAmericaBaseURL, build::kNorthAmericaBaseURL);
    EXPECT_EQ(resolved.europeBaseURL, build::kEuropeBaseURL);
    EXPECT_EQ(resolved.asiaPacificBaseURL, build::kAsiaPacificBaseURL);
    EXPECT_EQ(resolved.keyStoreDirectory, data.path() / "velquor" / "keystore" / "com.example%2Fhost");
    EXPECT_EQ(resolved.applicationDirectory, data.path() / "velquor" / "applications" / "com.example%2Fhost");
    EXPECT_TRUE(resolved.trustedCertificates.empty());
    EXPECT_EQ(platform.services.queues, ThreadPoolDispatchQueues::processWide())
        << "one main queue per process";
    EXPECT_FALSE(fs::exists(data.path() / "velquor")) << "resolving creates no directory";

    ::setenv("XDG_DATA_HOME", "relative/is/ignored", 1);
    test::ScopedEnv homeEnv("HOME", home.path().string());
    const Platform defaults = PlatformContext::resolve({});
    const auto name = defaults.configuration.keyStoreDirectory.filename().string();
    const auto program = fs::canonical("/proc/self/exe").filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex(program + "-[0-9a-f]{16}"))) << name;
    EXPECT_EQ(defaults.configuration.keyStoreDirectory, home.path() / ".local/share/velquor/keystore" / name);
    EXPECT_EQ(defaults.configuration.applicationDirectory,
              home.path() / ".local/share/velquor/applications" / name);
    EXPECT_FALSE(defaults.services.bundle->mainBundleValue("CFBundleIdentifier").has_value());
}

// That the default stores use the directories set here is the logic layer's reinstall test's.
TEST(PlatformContextResolve, KeepsWhatTheHostSetAndNeverChangesTheHostsServices) {
    test::TempDir dir;
    auto hostServices = std::make_shared<PlatformServices>();
    auto store = std::make_shared<MemoryKeyStore>();
    hostServices->keyStore = store;
    Configuration configuration;
    configuration.northAmericaBaseURL = "https://127.0.0.1:8443/";
    configuration.europeBaseURL = "https://127.0.0.2:8443/";
    configuration.asiaPacificBaseURL = "https://127.0.0.3:8443/";
    configuration.keyStoreDirectory = dir.path() / "ks";
    configuration.applicationDirectory = dir.path() / "app";
    configuration.trustedCertificates = dir.path() / "ca.pem";
    configuration.hostApplication = {"com.example.host", "Example", "Host", "3.0", "12"};
    configuration.platform = hostServices;

    const Platform platform = PlatformContext::resolve(configuration);
    const auto fields = [](const auto& c) {
        return std::tuple(c.northAmericaBaseURL, c.europeBaseURL, c.asiaPacificBaseURL, c.keyStoreDirectory,
                          c.applicationDirectory, c.trustedCertificates);
    };
    EXPECT_EQ(fields(platform.configuration), fields(configuration));
    EXPECT_EQ(platform.services.keyStore, store);
    EXPECT_EQ(platform.services.bundle->mainBundleValue("CFBundleDisplayName"), "Example");
    EXPECT_EQ(hostServices->queues, nullptr) << "the host's own object is left as it was";
    EXPECT_EQ(hostServices->preferences, nullptr);
}

// The process-wide platform: each scenario of the child host program (tests/api) needs a fresh
// process; "exit-from-task" ends it with status 7 from a pool task.
TEST(PlatformContextProcess, ScenariosEndCleanlyWithTheirStatus) {
    for (const auto& [scenario, status] :
         {std::pair{"configure", 0}, {"exit-from-task", 7}, {"no-home", 0}}) {
        SCOPED_TRACE(scenario);
        test::TempDir dir;
        test::expectChildExit(VELQUOR_TEST_HOST, {scenario, dir.path().string()}, status);
    }
}

} // namespace
} // namespace velquor::detail
