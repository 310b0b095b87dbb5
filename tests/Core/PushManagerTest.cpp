#include "Core/PushManager.hpp"

#include <gtest/gtest.h>

#include <map>
#include <thread>

namespace velquor::detail {
namespace {

class TranslatingBundle : public BundleInfo {
public:
    std::optional<std::string> mainBundleValue(const std::string&) const override { return std::nullopt; }
    std::string localizedString(const std::string& key, const std::string& fallback) const override {
        static const std::map<std::string, std::string> table = {{"notification.confirm", "Approve"},
                                                                 {"notification.deny", "Refuse"}};
        auto it = table.find(key);
        return it == table.end() ? fallback : it->second;
    }
};

class UntranslatedBundle : public TranslatingBundle {
public:
    std::string localizedString(const std::string&, const std::string& fallback) const override {
        return fallback;
    }
};

TEST(PushManager, CategoryHasBothActionsWithTitlesAndOptions) {
    PushManager push(std::make_shared<TranslatingBundle>());
    auto categories = push.getUNNotificationCategories();
    ASSERT_EQ(categories.size(), 1u);
    EXPECT_EQ(categories[0].identifier, "auth");
    ASSERT_EQ(categories[0].actions.size(), 2u);
    EXPECT_EQ(categories[0].actions[0].identifier, "Authenticate");
    EXPECT_EQ(categories[0].actions[0].title, "Approve");
    EXPECT_EQ(categories[0].actions[0].options, 1u);
    EXPECT_EQ(categories[0].actions[1].identifier, "Deny");
    EXPECT_EQ(categories[0].actions[1].title, "Refuse");
    EXPECT_EQ(categories[0].actions[1].options, 2u);
}

TEST(PushManager, WithoutTranslationTheTitleIsTheKey) {
    for (auto bundle : {std::shared_ptr<const BundleInfo>(std::make_shared<UntranslatedBundle>()),
                        std::shared_ptr<const BundleInfo>()}) {
        auto actions = PushManager(bundle).getUNNotificationCategories().at(0).actions;
        EXPECT_EQ(actions.at(0).title, "notification.confirm");
        EXPECT_EQ(actions.at(1).title, "notification.deny");
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
