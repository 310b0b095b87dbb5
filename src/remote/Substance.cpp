#include "remote/Substance.hpp"

#include "util/CurlPtr.hpp"

#include <curl/curl.h>

#include <memory>

namespace velquor::detail {

namespace {

// Every byte outside the unreserved set (ALPHA, DIGIT, "-", ".", "_", "~") as %XX, so "&", "=",
// "#" and "+" stay inside the value.
std::string percentEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        }
    }
    return encoded;
}

} // namespace

Substance::Substance(std::string urlString, std::optional<Json> params, std::string name,
                     const std::optional<std::string>& hostBundleIdentifier)
    : urlString(addingBundleIdentifier(urlString, hostBundleIdentifier))
    , params(std::move(params))
    , name(std::move(name)) {}

std::string Substance::addingBundleIdentifier(const std::string& urlString,
                                              const std::optional<std::string>& hostBundleIdentifier) {
    // The path is taken as written ("a/../b" stays), so the only change is the appended item.
    CURLU_ptr url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, urlString.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK)
        return urlString;
    // Addresses built from the base addresses carry no query and stay as they are: the item is
    // only added where a query already exists.
    char* query = nullptr;
    if (curl_url_get(url.get(), CURLUPART_QUERY, &query, 0) != CURLUE_OK)
        return urlString;
    curl_free(query);
    const std::string item = "bundleId=" + percentEncode(hostBundleIdentifier.value_or(""));
    if (curl_url_set(url.get(), CURLUPART_QUERY, item.c_str(), CURLU_APPENDQUERY) != CURLUE_OK)
        return urlString;
    char* raw = nullptr;
    if (curl_url_get(url.get(), CURLUPART_URL, &raw, 0) != CURLUE_OK || raw == nullptr)
        return urlString;
    curl_text_ptr rebuilt(raw);
    return rebuilt.get();
}

} // namespace velquor::detail
