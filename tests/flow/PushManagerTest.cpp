#include "flow/PushManager.hpp"

#include "util/Base64.hpp"

#include "DeviceTestSupport.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace velquor::detail {
namespace {

// Without a translation (or without a bundle) the title is the key.
TEST(PushManager, CategoryHasBothActionsWithTitlesAndOptions) {
    const std::pair<std::shared_ptr<const BundleInfo>, std::pair<std::string, std::string>> cases[] = {
        {std::make_shared<test::FixedBundle>(
             test::hostValues(), std::map<std::string, std::string>{{"notification.confirm", "Approve"},
                                                                    {"notification.deny", "Refuse"}}),
         {"Approve", "Refuse"}},
        {std::make_shared<test::FixedBundle>(test::hostValues()),
         {"notification.confirm", "notification.deny"}},
        {nullptr, {"notification.confirm", "notification.deny"}}};
    for (const auto& [bundle, titles] : cases) {
        auto categories = PushManager(bundle).getUNNotificationCategories();
        ASSERT_EQ(categories.size(), 1u);
        EXPECT_EQ(categories[0].identifier, "auth");
        std::vector<std::tuple<std::string, std::string, unsigned>> actions;
        for (const auto& action : categories[0].actions)
            actions.emplace_back(action.identifier, action.title, action.options);
        EXPECT_EQ(actions,
                  (decltype(actions){{"Authenticate", titles.first, 1u}, {"Deny", titles.second, 2u}}));
    }
}

// (Empty at first: pairing before a token is set fails, in the service flow test.)
TEST(PushManager, TokenStateIsSharedAcrossThreads) {
    PushManager push(nullptr);
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            push.setDeviceTokenString(i % 2 ? "00ab10" : "ffee");
            push.setIsApnsSandbox(i % 2);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        const auto token = push.deviceTokenString().value_or("ffee");
        ASSERT_TRUE(token == "00ab10" || token == "ffee") << token;
    }
    writer.join();
    EXPECT_EQ(push.deviceTokenString(), "00ab10");
    EXPECT_TRUE(push.isApnsSandbox());
}

using Type = NotificationObject::NotificationType;

Json velquor(const std::string& json, int depth = 0) { // `depth` arrays nested under "x"
    const auto x = std::string(depth, '[') + std::string(depth, ']');
    return {{"Velquor", base64Encode(depth ? json.substr(0, json.size() - 1) + ",\"x\":" + x + "}" : json)}};
}

// A payload without the key, and another kind: the notification flow's "NotTheService" and "OtherKind".
TEST(PushManager, ParsesOnlyTheServicesNotifications) {
    const std::string auth = R"({"type":"AUTHENTICATION")", href = "https://na.test/c?a=1";
    const std::string links = R"(,"_links":{"push.check":{"href":")" + href + R"(","content-type":"j"}}})";
    constexpr auto U = Type::unrecognized, A = Type::authentication;
    const std::tuple<const char*, Json, Type, std::optional<long>, bool> cases[] = {
        {"ValueNotText", {{"Velquor", 5}}, U, {}, false},
        {"URLAlphabet", {{"Velquor", "eyI_IjoxfQ=="}}, U, {}, false},
        {"LineBreak", {{"Velquor", "e3\n0="}}, U, {}, false},
        {"PaddingMissing", {{"Velquor", "e30"}}, U, {}, false},
        {"JSONArray", velquor(R"(["AUTHENTICATION"])"), U, {}, false},
        {"InvalidJSON", velquor(auth), U, {}, false},
        {"TypeNotText", velquor(R"({"type":1,"timeout":{"duration":5})" + links), U, 5, true},
        {"Bare", velquor(auth + "}"), A, {}, false},
        {"Complete", velquor(auth + R"(,"timeout":{"duration":120})" + links), A, 120, true},
        {"DurationText", velquor(auth + R"(,"timeout":{"duration":"120"}})"), A, {}, false},
        {"HrefNotText", velquor(auth + R"(,"_links":{"push.check":{"href":7}}})"), A, {}, false},
        {"AtNestingLimit", velquor(auth + "}", 63), A, {}, false},
        {"PastNestingLimit", velquor(auth + "}", 64), U, {}, false},
        {"Nested100000Deep", velquor(auth + "}", 100'000), U, {}, false},
    };
    for (const auto& [name, payload, type, duration, linked] : cases) {
        const auto parsed = PushManager::parse(payload);
        const std::optional<std::string> link = linked ? std::optional(href) : std::nullopt;
        EXPECT_EQ(std::tie(parsed.type, parsed.duration, parsed.urlString), std::tie(type, duration, link))
            << name;
        EXPECT_EQ(parsed.contentType, linked ? std::optional<std::string>("j") : std::nullopt) << name;
    }
}

} // namespace
} // namespace velquor::detail
