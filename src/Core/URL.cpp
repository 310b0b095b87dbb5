#include "Core/URL.hpp"

#include <arpa/inet.h>

#include <array>

namespace velquor::detail {

namespace {

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool isUnreserved(char c) {
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(char c) {
    switch (c) {
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
        return true;
    default:
        return false;
    }
}

// True when every character of `text` is allowed by `allowed` or starts a valid "%XX".
template <typename Allowed> bool matches(std::string_view text, Allowed allowed) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2]))
                return false;
            i += 2;
        } else if (!allowed(c)) {
            return false;
        }
    }
    return true;
}

bool isPathChar(char c) {
    return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@' || c == '/';
}
bool isQueryChar(char c) {
    return isPathChar(c) || c == '?';
}

bool isValidScheme(std::string_view scheme) {
    if (scheme.empty() || !isAlpha(scheme.front()))
        return false;
    for (char c : scheme)
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.')
            return false;
    return true;
}

// "[" ( IPv6address [ "%25" ZoneID ] / IPvFuture ) "]"
bool isValidIPLiteral(std::string_view literal) {
    if (literal.size() < 2 || literal.front() != '[' || literal.back() != ']')
        return false;
    std::string_view inner = literal.substr(1, literal.size() - 2);
    if (!inner.empty() && (inner.front() == 'v' || inner.front() == 'V')) {
        std::size_t dot = inner.find('.');
        if (dot == std::string_view::npos || dot < 2 || dot + 1 == inner.size())
            return false;
        for (char c : inner.substr(1, dot - 1))
            if (!isHexDigit(c))
                return false;
        for (char c : inner.substr(dot + 1))
            if (!isUnreserved(c) && !isSubDelim(c) && c != ':')
                return false;
        return true;
    }
    std::string_view address = inner;
    std::size_t zone = inner.find('%');
    if (zone != std::string_view::npos) {
        address = inner.substr(0, zone);
        std::string_view zoneId = inner.substr(zone);
        // The zone separator must be the encoded "%25", followed by a non-empty zone id.
        if (zoneId.size() <= 3 || zoneId.substr(0, 3) != "%25" ||
            !matches(zoneId.substr(3), [](char c) { return isUnreserved(c); }))
            return false;
    }
    if (address.empty() || address.size() > 45)
        return false;
    std::array<char, 46> buffer{};
    address.copy(buffer.data(), address.size());
    in6_addr parsed{};
    return inet_pton(AF_INET6, buffer.data(), &parsed) == 1;
}

bool parseAuthority(std::string_view authority, std::optional<std::string>& userinfo, std::string& host,
                    std::optional<std::string>& port) {
    std::size_t at = authority.find('@');
    if (at != std::string_view::npos) {
        std::string_view info = authority.substr(0, at);
        if (!matches(info, [](char c) { return isUnreserved(c) || isSubDelim(c) || c == ':'; }))
            return false;
        userinfo = std::string(info);
        authority.remove_prefix(at + 1);
    }
    std::string_view hostPart;
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        hostPart = authority.substr(0, close + 1);
        rest = authority.substr(close + 1);
        if (!isValidIPLiteral(hostPart))
            return false;
    } else {
        std::size_t colon = authority.find(':');
        hostPart = authority.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view{} : authority.substr(colon);
        if (!matches(hostPart, [](char c) { return isUnreserved(c) || isSubDelim(c); }))
            return false;
    }
    if (!rest.empty()) {
        if (rest.front() != ':')
            return false;
        rest.remove_prefix(1);
        for (char c : rest)
            if (!isDigit(c))
                return false;
        port = std::string(rest);
    }
    host = std::string(hostPart);
    return true;
}

} // namespace

std::optional<URL> URL::parse(std::string_view text) {
    std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || !isValidScheme(text.substr(0, colon)))
        return std::nullopt;

    URL url;
    url.scheme_ = std::string(text.substr(0, colon));
    std::string_view rest = text.substr(colon + 1);

    std::size_t hash = rest.find('#');
    if (hash != std::string_view::npos) {
        std::string_view fragment = rest.substr(hash + 1);
        if (!matches(fragment, isQueryChar))
            return std::nullopt;
        url.fragment_ = std::string(fragment);
        rest = rest.substr(0, hash);
    }
    std::size_t question = rest.find('?');
    if (question != std::string_view::npos) {
        std::string_view query = rest.substr(question + 1);
        if (!matches(query, isQueryChar))
            return std::nullopt;
        url.query_ = std::string(query);
        rest = rest.substr(0, question);
    }
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        std::size_t slash = rest.find('/');
        std::string host;
        if (!parseAuthority(rest.substr(0, slash), url.userinfo_, host, url.port_))
            return std::nullopt;
        url.host_ = std::move(host);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
    }
    if (!matches(rest, isPathChar))
        return std::nullopt;
    url.path_ = std::string(rest);
    return url;
}

std::optional<std::vector<URL::QueryItem>> URL::queryItems() const {
    if (!query_)
        return std::nullopt;
    std::vector<QueryItem> items;
    std::string_view query = *query_;
    while (!query.empty()) {
        std::size_t amp = query.find('&');
        std::string_view member = query.substr(0, amp);
        std::size_t equals = member.find('=');
        if (equals == std::string_view::npos)
            items.push_back({std::string(member), std::nullopt});
        else
            items.push_back({std::string(member.substr(0, equals)), std::string(member.substr(equals + 1))});
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return items;
}

void URL::appendQueryItem(std::string_view name, std::string_view value) {
    std::string member = percentEncode(name) + "=" + percentEncode(value);
    if (!query_ || query_->empty())
        query_ = std::move(member);
    else
        *query_ += "&" + member;
}

std::string URL::toString() const {
    std::string text = scheme_ + ":";
    if (host_) {
        text += "//";
        if (userinfo_)
            text += *userinfo_ + "@";
        text += *host_;
        if (port_)
            text += ":" + *port_;
    }
    text += path_;
    if (query_)
        text += "?" + *query_;
    if (fragment_)
        text += "#" + *fragment_;
    return text;
}

std::string URL::percentEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size());
    for (char c : text) {
        if (isUnreserved(c)) {
            encoded += c;
        } else {
            auto byte = static_cast<unsigned char>(c);
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        }
    }
    return encoded;
}

} // namespace velquor::detail
