// The host-facing services on Linux: device facts, bundle values and strings, notifications.
#include "platform/linux/ConfiguredBundleInfo.hpp"
#include "platform/linux/LinuxDeviceFacts.hpp"
#include "platform/linux/LinuxNotificationCenter.hpp"
#include "platform/linux/ThreadPoolDispatchQueues.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <stdexcept>
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

// Texts that are not UTF-8 are cleaned; empty ones are absent.
TEST_F(LinuxDeviceFactsTest, SystemVersionPrefersVersionIdThenPrettyNameAndTextsAreCleaned) {
    EXPECT_EQ(facts().systemVersion(), std::nullopt);
    writeFile(root.path() / "usr/lib/os-release", "NAME=Debian\nPRETTY_NAME=\"Debian GNU/Linux 12\"\n");
    EXPECT_EQ(facts().systemVersion(), "Debian GNU/Linux 12");
    // /etc wins over /usr/lib.
    writeFile(root.path() / "etc/os-release", "# comment\nVERSION_ID=\"12\"\nPRETTY_NAME=x\n");
    EXPECT_EQ(facts().systemVersion(), "12");

    writeFile(root.path() / "etc/os-release", "VERSION_ID=\"12\xff\"\n");
    auto subject = facts({}, std::string("host\xc3"), std::string("x86\x80_64"));
    EXPECT_EQ(subject.systemVersion(), "12\xEF\xBF\xBD");
    EXPECT_EQ(subject.deviceName(), "host\xEF\xBF\xBD");
    EXPECT_EQ(subject.modelIdentifier(), "x86\xEF\xBF\xBD_64");
    auto empty = facts({}, std::string(), std::nullopt);
    EXPECT_EQ(empty.deviceName(), std::nullopt);
    EXPECT_EQ(empty.modelIdentifier(), std::nullopt);
}

TEST(LinuxDeviceFactsParsing, OsReleaseQuotingFollowsTheShellAndLocaleNamesSplitIntoLanguageAndRegion) {
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
    writeFile(table, R"({"Authenticate":"Bestätigen","Deny":42})");
    EXPECT_EQ(bundle.localizedString("Authenticate", "Authenticate"), "Bestätigen");
    EXPECT_EQ(bundle.localizedString("Deny", "Deny"), "Deny") << "a value that is no text";
    EXPECT_EQ(bundle.localizedString("Missing", "Missing"), "Missing");
    writeFile(table, R"({"Authenticate": )");
    EXPECT_EQ(bundle.localizedString("Authenticate", "Authenticate"), "Authenticate") << "malformed table";
}

TEST(LinuxNotificationCenter, DeliversByNamePastAThrowingObserverAllowingChangesInACallAndConcurrentUse) {
    LinuxNotificationCenter center;
    std::vector<std::string> calls;
    int sender = 0;
    center.addObserver("reachabilityChanged", [&](const std::string& name, const void* from) {
        calls.push_back("first:" + name + (from == &sender ? ":sender" : ":other"));
    });
    center.addObserver("other", [&](const std::string&, const void*) { calls.push_back("wrong"); });
    center.addObserver("reachabilityChanged",
                       [](const std::string&, const void*) { throw std::runtime_error("observer failed"); });
    center.addObserver("reachabilityChanged",
                       [&](const std::string&, const void*) { calls.push_back("second"); });
    EXPECT_NO_THROW(center.post("reachabilityChanged", &sender));
    center.post("nobodyListens", nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"first:reachabilityChanged:sender", "second"}));

    // An observer may remove itself or a later one, add one and post from inside a call.
    int selfCalls = 0, laterCalls = 0, survivorCalls = 0, innerCalls = 0;
    NotificationCenter::ObserverToken self = 0, later = 0;
    self = center.addObserver("n", [&](const std::string&, const void*) {
        ++selfCalls;
        center.removeObserver(self);  // itself: no deadlock
        center.removeObserver(later); // one whose turn has not come in this post
    });
    center.addObserver("n", [&](const std::string&, const void*) {
        if (++survivorCalls == 1) { // an observer added and posted to from inside a call
            center.addObserver("inner", [&](const std::string&, const void*) { ++innerCalls; });
            center.post("inner", nullptr);
        }
    });
    later = center.addObserver("n", [&](const std::string&, const void*) { ++laterCalls; });
    center.post("n", nullptr);
    center.post("n", nullptr);
    EXPECT_EQ(std::tuple(selfCalls, laterCalls, survivorCalls, innerCalls), std::tuple(1, 0, 2, 1));
    center.removeObserver(self); // removing twice, or an unknown token, is harmless
    center.removeObserver(12345);

    // Concurrent posts, adds and removes stay consistent.
    std::atomic<int> stableCalls{0};
    center.addObserver("busy", [&](const std::string&, const void*) { ++stableCalls; });
    for (std::vector<std::jthread> threads; threads.size() < 4;) // joined as the loop ends
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                auto token = center.addObserver("busy", [](const std::string&, const void*) {});
                center.post("busy", nullptr);
                center.removeObserver(token);
            }
        });
    EXPECT_EQ(stableCalls.load(), 2000);
}

} // namespace
} // namespace velquor::detail
