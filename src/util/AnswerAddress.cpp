#include "util/AnswerAddress.hpp"

#include "util/CurlPtr.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>

namespace velquor::detail {

namespace {

// Scheme, host and effective port of an absolute address without user information.
struct Origin {
    std::string scheme;
    std::string host;
    std::string port;
};

std::optional<std::string> part(CURLU* handle, CURLUPart which, unsigned flags = 0) {
    char* raw = nullptr;
    if (curl_url_get(handle, which, &raw, flags) != CURLUE_OK || raw == nullptr)
        return std::nullopt;
    curl_text_ptr text(raw);
    return std::string(text.get());
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// nullopt with `why` set when the address cannot be read as one.
std::optional<Origin> originOf(std::string_view address, std::string& why) {
    CURLU_ptr handle(curl_url());
    if (!handle) {
        why = "the address cannot be examined";
        return std::nullopt;
    }
    // No default scheme: a relative or scheme-less text is refused, not guessed at.
    const std::string text(address);
    if (text.find('\0') != std::string::npos ||
        curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
        why = "the address is not an absolute address";
        return std::nullopt;
    }
    if (part(handle.get(), CURLUPART_USER) || part(handle.get(), CURLUPART_PASSWORD) ||
        part(handle.get(), CURLUPART_OPTIONS)) {
        why = "the address has user information";
        return std::nullopt;
    }
    Origin origin{lowerCase(part(handle.get(), CURLUPART_SCHEME).value_or("")),
                  lowerCase(part(handle.get(), CURLUPART_HOST).value_or("")),
                  part(handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT).value_or("")};
    if (origin.host.empty()) {
        why = "the address has no host";
        return std::nullopt;
    }
    return origin;
}

} // namespace

std::optional<std::string> AnswerAddress::problem(std::string_view address,
                                                  const std::vector<std::string>& serviceBaseAddresses) {
    std::string why;
    const auto origin = originOf(address, why);
    if (!origin)
        return why;
    if (origin->scheme != "https")
        return "the address is not an https address";
    for (const auto& base : serviceBaseAddresses) {
        std::string ignored;
        const auto service = originOf(base, ignored);
        if (service && service->scheme == "https" && service->host == origin->host &&
            service->port == origin->port)
            return std::nullopt;
    }
    return "the address is not one of the service's hosts";
}

} // namespace velquor::detail
