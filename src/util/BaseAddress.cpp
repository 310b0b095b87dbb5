#include "util/BaseAddress.hpp"

#include "util/CurlPtr.hpp"

#include <curl/curl.h>

#include <memory>

namespace velquor::detail {

namespace {

// The part, or nullopt when the address has none (or it cannot be read).
std::optional<std::string> part(CURLU* handle, CURLUPart which) {
    char* raw = nullptr;
    if (curl_url_get(handle, which, &raw, 0) != CURLUE_OK || raw == nullptr)
        return std::nullopt;
    curl_text_ptr text(raw);
    return std::string(text.get());
}

} // namespace

std::optional<std::string> BaseAddress::problem(std::string_view address) {
    const std::string text(address);
    if (text.find_first_of("?#") != std::string::npos)
        return "the address has a query or a fragment";
    if (text.empty() || text.back() != '/')
        return "the address does not end in \"/\"";
    CURLU_ptr handle(curl_url());
    if (!handle)
        return "the address cannot be examined";
    if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK)
        return "the address is not an absolute address";
    if (part(handle.get(), CURLUPART_SCHEME) != "https")
        return "the address is not an https address";
    const auto host = part(handle.get(), CURLUPART_HOST);
    if (!host || host->empty())
        return "the address has no host";
    if (part(handle.get(), CURLUPART_USER) || part(handle.get(), CURLUPART_PASSWORD) ||
        part(handle.get(), CURLUPART_OPTIONS))
        return "the address has user information";
    return std::nullopt;
}

} // namespace velquor::detail
