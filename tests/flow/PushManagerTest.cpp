#include "flow/PushManager.hpp"

#include "DeviceTestSupport.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace velquor::detail {
namespace {

// Translates the two action titles.
struct TranslatingBundle : test::FixedBundle {
    TranslatingBundle()
        : FixedBundle({}) {}
    std::string localizedString(const std::string& key, const std::string& fallback) const override {
        return key == "notification.confirm" ? "Approve" : key == "notification.deny" ? "Refuse" : fallback;
    }
};

// Without a translation (or without a bundle) the title is the key.
TEST(PushManager, CategoryHasBothActionsWithTitlesAndOptions) {
    const std::pair<std::shared_ptr<const BundleInfo>, std::pair<std::string, std::string>> cases[] = {
        {std::make_shared<TranslatingBundle>(), {"Approve", "Refuse"}},
        {std::make_shared<test::FixedBundle>(test::hostValues()),
         {"notification.confirm", "notification.deny"}},
        {nullptr, {"notification.confirm", "notification.deny"}}};
    for (const auto& [bundle, titles] : cases) {
        auto categories = PushManager(bundle).getUNNotificationCategories();
        ASSERT_EQ(categories.size(), 1u);
        EXPECT_EQ(categories[0].identifier, "auth");
        ASSERT_EQ(categories[0].actions.size(), 2u);
        EXPECT_EQ(categories[0].actions[0].identifier, "Authenticate");
        EXPECT_EQ(categories[0].actions[0].title, titles.first);
        EXPECT_EQ(categories[0].actions[0].options, 1u);
        EXPECT_EQ(categories[0].actions[1].identifier, "Deny");
        EXPECT_EQ(categories[0].actions[1].title, titles.second);
        EXPECT_EQ(categories[0].actions[1].options, 2u);
    }
}

TEST(PushManager, TokenStateStartsEmptyAndIsSharedAcrossThreads) {
    PushManager push(nullptr);
    EXPECT_FALSE(push.deviceTokenString());
    EXPECT_FALSE(push.isApnsSandbox());
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            push.setDeviceTokenString(i % 2 ? "00ab10" : "ffee");
            push.setIsApnsSandbox(i % 2);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        auto token = push.deviceTokenString();
        if (token) {
            ASSERT_TRUE(*token == "00ab10" || *token == "ffee");
        }
    }
    writer.join();
    EXPECT_EQ(push.deviceTokenString(), "00ab10");
    EXPECT_TRUE(push.isApnsSandbox());
}

} // namespace
} // namespace velquor::detail
