#include "platform/linux/CurlHttpTransport.hpp"

#include <cctype>
#include <cstdlib>
#include <memory>

namespace velquor::detail {

namespace {

std::string environment(const char* lower, const char* upper) {
    if (const char* value = std::getenv(lower); value != nullptr && value[0] != '\0')
        return value;
    if (const char* value = upper != nullptr ? std::getenv(upper) : nullptr; value != nullptr)
        return value;
    return {};
}

std::string schemeOf(const std::string& url) {
    const auto end = url.find("://");
    std::string scheme = url.substr(0, end == std::string::npos ? 0 : end);
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme;
}

} // namespace

CurlHttpTransport::CurlHttpTransport(std::filesystem::path trustedCertificates,
                                     std::optional<std::chrono::seconds> inactivityLimit)
    : network_(CurlNetworkThread::shared())
    , trustFile_(trustedCertificates.string())
    , inactivityLimit_(inactivityLimit.value_or(std::chrono::seconds(0)))
    ,
    // Upper-case HTTP_PROXY is not honoured: in a CGI program a request header can set it.
    httpProxy_(environment("http_proxy", nullptr))
    , httpsProxy_(environment("https_proxy", "HTTPS_PROXY"))
    , allProxy_(environment("all_proxy", "ALL_PROXY"))
    , noProxy_(environment("no_proxy", "NO_PROXY")) {}

void CurlHttpTransport::send(HttpRequest request, Completion completion) {
    const std::string scheme = schemeOf(request.url);
    const std::string& schemeProxy = scheme == "https"  ? httpsProxy_
                                     : scheme == "http" ? httpProxy_
                                                        : allProxy_;
    CurlTransfer::Options options{.trustFile = trustFile_,
                                  .proxy = schemeProxy.empty() ? allProxy_ : schemeProxy,
                                  .noProxy = noProxy_,
                                  .inactivityLimit = inactivityLimit_};
    network_.submit(std::make_unique<CurlTransfer>(std::move(request), std::move(completion), options));
}

} // namespace velquor::detail
