// An absolute URI (RFC 3986) split into its components, each kept exactly as written: parsing
// validates the grammar but decodes nothing, so toString() rebuilds the input byte for byte and
// percent-encoding survives untouched.
//
//   auto url = URL::parse("https://[::1]:8443/v1/push?x=1#top");
//   url->host();                          // "[::1]"
//   url->appendQueryItem("bundleId", "com.example.app");
//   url->toString();                      // "https://[::1]:8443/v1/push?x=1&bundleId=com.example.app#top"
//
// A plain value; safe to copy across threads.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::detail {

class URL {
public:
    // One "name=value" member of the query, both still percent-encoded as written. A member
    // without "=" has no value.
    struct QueryItem {
        std::string name;
        std::optional<std::string> value;
        bool operator==(const QueryItem&) const = default;
    };

    // Nothing when `text` is not an absolute URI: no scheme, a character outside the grammar
    // (spaces, non-ASCII bytes, a lone "%"), a bad IP literal or a port that is not digits.
    static std::optional<URL> parse(std::string_view text);

    const std::string& scheme() const noexcept { return scheme_; }
    // The authority ("//" part) is present exactly when host() is; host may be empty ("file:///").
    const std::optional<std::string>& userinfo() const noexcept { return userinfo_; }
    // Brackets included for an IP literal.
    const std::optional<std::string>& host() const noexcept { return host_; }
    // Digits as written; may be empty ("http://a:/").
    const std::optional<std::string>& port() const noexcept { return port_; }
    const std::string& path() const noexcept { return path_; }
    // Absent when there is no "?"; empty for a bare "?".
    const std::optional<std::string>& query() const noexcept { return query_; }
    const std::optional<std::string>& fragment() const noexcept { return fragment_; }

    // The query split at "&"; absent when there is no query, empty for an empty one.
    std::optional<std::vector<QueryItem>> queryItems() const;

    // Appends one member after the existing ones (creating the query when there is none), with
    // name and value percent-encoded so that "&", "=", "#", "+" and the like stay inside them.
    void appendQueryItem(std::string_view name, std::string_view value);

    std::string toString() const;

    // Every byte outside the unreserved set (ALPHA, DIGIT, "-", ".", "_", "~") as %XX.
    static std::string percentEncode(std::string_view text);

private:
    URL() = default;

    std::string scheme_;
    std::optional<std::string> userinfo_;
    std::optional<std::string> host_;
    std::optional<std::string> port_;
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
};

} // namespace velquor::detail
