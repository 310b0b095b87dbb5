#include "platform/linux/LinuxDeviceFacts.hpp"
#include "platform/linux/ThreadPoolDispatchQueues.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <map>
#include <thread>

namespace velquor::detail {
namespace {

using test::writeFile;

class LinuxDeviceFactsTest : public ::testing::Test {
protected:
    LinuxDeviceFacts facts(std::map<std::string, std::string> environment = {},
                           std::optional<std::string> hostName = "phone",
                           std::optional<std::string> machine = "x86_64") {
        return LinuxDeviceFacts(queues,
                                {root.path(), [hostName] { return hostName; }, [machine] { return machine; },
                                 [environment](const std::string& name) {
                                     return environment.contains(name) ? std::optional(environment.at(name))
                                                                       : std::nullopt;
                                 }});
    }

    test::TempDir root;
    std::shared_ptr<ThreadPoolDispatchQueues> queues = std::make_shared<ThreadPoolDispatchQueues>();
};

TEST_F(LinuxDeviceFactsTest, SystemVersionPrefersVersionIdThenPrettyName) {
    EXPECT_EQ(facts().systemVersion(), std::nullopt);

    writeFile(root.path() / "usr/lib/os-release", "NAME=Debian\nPRETTY_NAME=\"Debian GNU/Linux 12\"\n");
    EXPECT_EQ(facts().systemVersion(), "Debian GNU/Linux 12");

    // /etc wins over /usr/lib.
    writeFile(root.path() / "etc/os-release", "# comment\nVERSION_ID=\"12\"\nPRETTY_NAME=x\n");
    EXPECT_EQ(facts().systemVersion(), "12");
}

TEST_F(LinuxDeviceFactsTest, OsReleaseQuotingFollowsTheShell) {
    const std::string text = "A='single $x \\n'\n"
                             "B=\"double \\\"q\\\" \\$HOME \\\\ \\n\"\n"
                             "C=bare\\ word\n"
                             "  D = spaced\n"
                             "E=first\nE=second\n"
                             "F=\"crlf\"\r\n"
                             "#G=commented\n"
                             "GG=other\n";
    const std::pair<const char*, std::optional<std::string>> values[] = {
        {"A", "single $x \\n"}, {"B", "double \"q\" $HOME \\ \\n"},
        {"C", "bare word"},     {"D", std::nullopt},
        {"E", "second"},        {"F", "crlf"},
        {"G", std::nullopt},    {"GG", "other"}};
    for (const auto& [key, value] : values)
        EXPECT_EQ(LinuxDeviceFacts::osReleaseValue(text, key), value) << key;
}

TEST_F(LinuxDeviceFactsTest, TextsThatAreNotUtf8AreCleaned) {
    writeFile(root.path() / "etc/os-release", "VERSION_ID=\"12\xff\"\n");
    auto subject = facts({}, std::string("host\xc3"), std::string("x86\x80_64"));
    EXPECT_EQ(subject.systemVersion(), "12\xEF\xBF\xBD");
    EXPECT_EQ(subject.deviceName(), "host\xEF\xBF\xBD");
    EXPECT_EQ(subject.modelIdentifier(), "x86\xEF\xBF\xBD_64");

    auto empty = facts({}, std::string(), std::nullopt);
    EXPECT_EQ(empty.deviceName(), std::nullopt);
    EXPECT_EQ(empty.modelIdentifier(), std::nullopt);
}

TEST_F(LinuxDeviceFactsTest, LocaleNamesSplitIntoLanguageAndRegion) {
    const std::tuple<const char*, std::optional<std::string>, std::optional<std::string>> cases[] = {
        {"en_US.UTF-8", "en", "US"},
        {"de_DE@euro", "de", "DE"},
        {"sr_RS.UTF-8@latin", "sr", "RS"},
        {"es_419.UTF-8", "es", "419"},
        {"en_us", "en", "US"},
        {"fr", "fr", std::nullopt},
        {"C", std::nullopt, std::nullopt},
        {"C.UTF-8", std::nullopt, std::nullopt},
        {"POSIX", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"ast_ES", "ast", "ES"},
        {"english_USA", std::nullopt, std::nullopt},
        {"e\xff_US", std::nullopt, "US"}};
    for (const auto& [name, language, region] : cases) {
        const DeviceFacts::Locale locale = LinuxDeviceFacts::parseLocaleName(name);
        EXPECT_EQ(std::tuple(locale.languageCode, locale.regionCode), std::tuple(language, region)) << name;
    }
}

TEST_F(LinuxDeviceFactsTest, LocaleVariablesAreConsultedInPrecedenceOrderWhenTheFactsAreMade) {
    EXPECT_EQ(facts({{"LANG", "de_AT.UTF-8"}}).currentLocale().regionCode, "AT");
    EXPECT_EQ(facts({{"LANG", "de_AT"}, {"LC_MESSAGES", "fr_CA"}}).currentLocale().regionCode, "CA");
    EXPECT_EQ(
        facts({{"LANG", "de_AT"}, {"LC_MESSAGES", "fr_CA"}, {"LC_ALL", "ja_JP"}}).currentLocale().regionCode,
        "JP");
    // An empty variable does not count as set.
    EXPECT_EQ(facts({{"LANG", "de_AT"}, {"LC_ALL", ""}}).currentLocale().regionCode, "AT");
    EXPECT_EQ(facts().currentLocale().regionCode, std::nullopt);

    // Read once, on the thread that makes the facts: a later read on a library thread could race a
    // host's setenv.
    test::ScopedEnv lcAll("LC_ALL", "de_AT.UTF-8");
    LinuxDeviceFacts subject(queues);
    ::setenv("LC_ALL", "ja_JP.UTF-8", 1);
    EXPECT_EQ(subject.currentLocale().regionCode, "AT");
}

TEST_F(LinuxDeviceFactsTest, NotificationStatusComesLaterOnAnotherThreadExactlyOnce) {
    auto subject = facts();
    test::Delivery<std::pair<std::optional<int>, std::thread::id>> answer;
    subject.requestNotificationAuthorizationStatus([&](std::optional<int> status) {
        answer.deliver({status, std::this_thread::get_id()});
    });
    auto delivered = answer.wait();
    ASSERT_TRUE(delivered);
    EXPECT_EQ(delivered->first, std::nullopt);
    EXPECT_NE(delivered->second, std::this_thread::get_id());
    EXPECT_EQ(answer.count(), 1);
}

} // namespace
} // namespace velquor::detail
