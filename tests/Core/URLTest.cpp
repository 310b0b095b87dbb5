#include "Core/URL.hpp"

#include <gtest/gtest.h>

namespace velquor::detail {
namespace {

struct ParseCase {
    const char* text;
    const char* scheme;
    std::optional<std::string> userinfo;
    std::optional<std::string> host;
    std::optional<std::string> port;
    const char* path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};

class URLParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(URLParseTest, SplitsComponentsAndRebuildsTheInputExactly) {
    const ParseCase& c = GetParam();
    std::optional<URL> url = URL::parse(c.text);
    ASSERT_TRUE(url) << c.text;
    EXPECT_EQ(url->scheme(), c.scheme);
    EXPECT_EQ(url->userinfo(), c.userinfo);
    EXPECT_EQ(url->host(), c.host);
    EXPECT_EQ(url->port(), c.port);
    EXPECT_EQ(url->path(), c.path);
    EXPECT_EQ(url->query(), c.query);
    EXPECT_EQ(url->fragment(), c.fragment);
    EXPECT_EQ(url->toString(), c.text);
}

const std::nullopt_t none = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Addresses, URLParseTest,
    ::testing::Values(
        ParseCase{"https://user:pw@example.com:8443/a/b%20c?x=1&y#frag", "https", "user:pw", "example.com",
                  "8443", "/a/b%20c", "x=1&y", "frag"},
        ParseCase{"https://api.eu.example/v1/deviceInfo", "https", none, "api.eu.example", none,
                  "/v1/deviceInfo", none, none},
        ParseCase{"https://[2001:db8::1]:443/p", "https", none, "[2001:db8::1]", "443", "/p", none, none},
        ParseCase{"https://[::ffff:192.0.2.1]/", "https", none, "[::ffff:192.0.2.1]", none, "/", none, none},
        ParseCase{"https://[fe80::1%25eth0]/", "https", none, "[fe80::1%25eth0]", none, "/", none, none},
        ParseCase{"https://[v1.fe:x]/", "https", none, "[v1.fe:x]", none, "/", none, none},
        ParseCase{"mailto:someone@example.com", "mailto", none, none, none, "someone@example.com", none,
                  none},
        ParseCase{"file:///etc/hosts", "file", none, "", none, "/etc/hosts", none, none},
        ParseCase{"http://a:/", "http", none, "a", "", "/", none, none},
        ParseCase{"https://host?x", "https", none, "host", none, "", "x", none},
        ParseCase{"https://host#f", "https", none, "host", none, "", none, "f"},
        ParseCase{"https://host/?", "https", none, "host", none, "/", "", none},
        ParseCase{"https://host/p?q=a/b?c#f/g?h", "https", none, "host", none, "/p", "q=a/b?c", "f/g?h"},
        ParseCase{"HTTPS://Host/%2f%7E", "HTTPS", none, "Host", none, "/%2f%7E", none, none},
        ParseCase{"urn:isbn:0451450523", "urn", none, none, none, "isbn:0451450523", none, none}));

TEST(URLTest, RejectsTextOutsideTheGrammar) {
    for (const char* text : {"",
                             "no-scheme/path",
                             "/relative",
                             "1http://x",
                             "ht tp://x",
                             "https://exa mple.com/",
                             "https://host/%zz",
                             "https://host/%4",
                             "https://host/%",
                             "https://[::1/",
                             "https://[::g]/",
                             "https://[::1]x/",
                             "https://[]/",
                             "https://host:80a/",
                             "https://a@b@c/",
                             "https://host/\xc3\xa4",
                             "https://host/a b",
                             "https://[fe80::1%eth0]/",
                             "http://host/path?q=<",
                             "http://host/#a#b",
                             "https://host/p\"",
                             "https://[v.x]/"}) {
        EXPECT_FALSE(URL::parse(text)) << text;
    }
}

TEST(URLTest, SplitsTheQueryIntoItemsAsWritten) {
    auto url = URL::parse("https://h/p?x=1&y&=z&a=b=c&&e=%20");
    ASSERT_TRUE(url);
    std::vector<URL::QueryItem> expected = {{"x", "1"},   {"y", std::nullopt}, {"", "z"},
                                            {"a", "b=c"}, {"", std::nullopt},  {"e", "%20"}};
    EXPECT_EQ(url->queryItems(), expected);

    EXPECT_EQ(URL::parse("https://h/p")->queryItems(), std::nullopt);
    EXPECT_EQ(URL::parse("https://h/p?")->queryItems(), std::vector<URL::QueryItem>{});
}

TEST(URLTest, AppendedItemsAreEncodedSoTheyCannotBreakTheQuery) {
    auto url = URL::parse("https://h:8443/p?x=1#frag");
    ASSERT_TRUE(url);
    url->appendQueryItem("b&n", "a b&c=d#e+f/\xc3\xa9~");
    EXPECT_EQ(url->toString(), "https://h:8443/p?x=1&b%26n=a%20b%26c%3Dd%23e%2Bf%2F%C3%A9~#frag");
    ASSERT_TRUE(URL::parse(url->toString()));
    EXPECT_EQ(url->queryItems()->back(), (URL::QueryItem{"b%26n", "a%20b%26c%3Dd%23e%2Bf%2F%C3%A9~"}));

    auto empty = URL::parse("https://h/p?");
    empty->appendQueryItem("k", "v");
    EXPECT_EQ(empty->toString(), "https://h/p?k=v");

    auto without = URL::parse("https://h/p");
    without->appendQueryItem("k", "");
    EXPECT_EQ(without->toString(), "https://h/p?k=");
}

} // namespace
} // namespace velquor::detail
