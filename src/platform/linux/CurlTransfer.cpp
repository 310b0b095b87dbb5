#include "platform/linux/CurlTransfer.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace velquor::detail {

namespace {

// Replies are tokens of a few kilobytes; this only stops a hostile peer from exhausting memory.
constexpr std::size_t kMaxReplyBody = 64u * 1024u * 1024u;

bool isTokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (!isTokenChar(c))
            return false;
    return true;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

CurlTransfer::CurlTransfer(HttpRequest request, HttpTransport::Completion completion, const Options& options)
    : request_(std::move(request))
    , completion_(std::move(completion))
    , easy_(curl_easy_init())
    , inactivityLimit_(options.inactivityLimit.count() > 0 ? options.inactivityLimit : request_.timeout) {
    if (inactivityLimit_.count() <= 0)
        inactivityLimit_ = std::chrono::seconds(60);
    lastMoved_ = std::chrono::steady_clock::now();
    if (!easy_)
        refusal_ = "libcurl could not create a transfer";
    else if (!isToken(request_.method))
        refusal_ = "Invalid HTTP method \"" + request_.method + "\"";
    for (const auto& [name, value] : request_.headers) {
        // A line break in a value would let a caller smuggle in headers of its own choosing.
        if (refusal_.empty() &&
            (!isToken(name) || value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos))
            refusal_ = "Invalid HTTP header \"" + name + "\"";
    }
    if (refusal_.empty())
        configure(options);
}

void CurlTransfer::configure(const Options& options) {
    CURL* easy = easy_.get();
    curl_easy_setopt(easy, CURLOPT_URL, request_.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer_);
    // libcurl would otherwise use signals for its own timeouts, and ignore SIGPIPE around its
    // calls: either changes the host's signal disposition. Writes use MSG_NOSIGNAL instead.
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // Servers drop idle kept-alive connections after a few seconds (the reference service after
    // 5 s), and libcurl does not always see that before it reuses one: after a burst every pooled
    // connection can be dead, and a request then fails with a send error once its retries run
    // out. A connection idle longer than this is not reused; a fresh one costs one handshake.
    curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, 3L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options.trustFile.empty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, options.trustFile.c_str());
        curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr); // only the given file, not it and the system's
    }
    // Set explicitly, even when empty: libcurl would otherwise read the environment on this
    // transfer's thread, and see whatever the host has changed since.
    curl_easy_setopt(easy, CURLOPT_PROXY, options.proxy.c_str());
    curl_easy_setopt(easy, CURLOPT_NOPROXY, options.noProxy.c_str());

    const long connectLimit =
        request_.timeout.count() > 0 ? static_cast<long>(request_.timeout.count()) : 60L;
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, connectLimit);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &CurlTransfer::onConnected);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &CurlTransfer::onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlTransfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlTransfer::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);

    if (request_.method == "GET" && request_.body.empty()) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (request_.method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
        static const char kNoBody[] = "";
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request_.body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS,
                         request_.body.empty() ? kNoBody
                                               : reinterpret_cast<const char*>(request_.body.data()));
        if (request_.method != "POST")
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request_.method.c_str());
    }

    curl_slist* list = nullptr;
    for (const auto& [name, value] : request_.headers) {
        // "Name:" would remove libcurl's header of that name; "Name;" sends it empty.
        const std::string line = value.empty() ? name + ";" : name + ": " + value;
        curl_slist* longer = curl_slist_append(list, line.c_str());
        if (longer == nullptr) {
            refusal_ = "Out of memory for the request headers";
            break;
        }
        list = longer;
    }
    headers_.reset(list);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
}

std::size_t CurlTransfer::onHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto& transfer = *static_cast<CurlTransfer*>(self);
    const std::string_view line(data, size * count);
    transfer.moved();
    auto& headers = transfer.reply_.headers;
    try {
        if (line.starts_with("HTTP/")) {
            headers.clear(); // a new response begins (after "100 Continue", say)
        } else if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            if (!headers.empty() && !trimmed(line).empty()) // obsolete folding: continues the value
                headers.back().second.append(" ").append(trimmed(line));
        } else if (const auto colon = line.find(':'); colon != std::string_view::npos && colon > 0) {
            headers.emplace_back(std::string(line.substr(0, colon)),
                                 std::string(trimmed(line.substr(colon + 1))));
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return size * count;
}

std::size_t CurlTransfer::onBody(char* data, std::size_t size, std::size_t count, void* self) {
    auto& transfer = *static_cast<CurlTransfer*>(self);
    auto& body = transfer.reply_.body;
    const std::size_t length = size * count;
    transfer.moved();
    if (length > kMaxReplyBody - body.size()) {
        transfer.tooLarge_ = true;
        return 0;
    }
    try {
        body.insert(body.end(), data, data + length);
    } catch (const std::bad_alloc&) {
        transfer.tooLarge_ = true;
        return 0;
    }
    return length;
}

int CurlTransfer::onConnected(void* self, char*, char*, int, int) {
    auto& transfer = *static_cast<CurlTransfer*>(self);
    // The connect timeout governed until now; from here the inactivity limit does.
    transfer.connected_ = true;
    transfer.moved();
    return CURL_PREREQFUNC_OK;
}

int CurlTransfer::onProgress(void* self, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    auto& transfer = *static_cast<CurlTransfer*>(self);
    if (!transfer.connected_)
        return 0;
    if (down != transfer.lastDown_ || up != transfer.lastUp_) {
        transfer.lastDown_ = down;
        transfer.lastUp_ = up;
        transfer.moved();
        return 0;
    }
    // libcurl calls this about once a second even while nothing moves.
    if (std::chrono::steady_clock::now() - transfer.lastMoved_ < transfer.inactivityLimit_)
        return 0;
    transfer.inactive_ = true;
    return 1;
}

void CurlTransfer::finish(CURLcode result) {
    std::optional<HttpReply> reply;
    std::optional<HttpError> error;
    long status = 0;
    if (!refusal_.empty()) {
        error = errorFor(CURLE_BAD_FUNCTION_ARGUMENT, 0, refusal_);
    } else if (inactive_ && result == CURLE_ABORTED_BY_CALLBACK) {
        error = errorFor(CURLE_OPERATION_TIMEDOUT, 0,
                         "No data moved for " + std::to_string(inactivityLimit_.count()) + " seconds");
    } else if (tooLarge_ && result == CURLE_WRITE_ERROR) {
        error = errorFor(result, 0, "The reply body is larger than the transport accepts");
    } else if (result != CURLE_OK) {
        long osError = 0;
        curl_easy_getinfo(easy_.get(), CURLINFO_OS_ERRNO, &osError);
        error = errorFor(result, osError, errorBuffer_);
    } else if (curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status <= 0) {
        // Cannot happen for a completed HTTP transfer; never hand out a reply without a status.
        error = errorFor(CURLE_GOT_NOTHING, 0, "");
    } else {
        reply_.status = static_cast<int>(status);
        reply = std::move(reply_);
    }
    if (completion_)
        completion_(std::move(reply), std::move(error));
}

HttpError CurlTransfer::errorFor(CURLcode result, long osError, const std::string& detail) {
    long code = -1;
    switch (result) {
    case CURLE_OPERATION_TIMEDOUT:
        code = -1001;
        break;
    case CURLE_COULDNT_RESOLVE_HOST:
        code = -1003;
        break;
    case CURLE_COULDNT_CONNECT:
        code = osError == ENETUNREACH ? -1009 : -1004;
        break;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        code = -1005;
        break;
    case CURLE_PEER_FAILED_VERIFICATION: // an untrusted issuer and a wrong host name alike
        code = -1202;
        break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
        code = -1200;
        break;
    default:
        break;
    }
    return HttpError{"NSURLErrorDomain", code, detail.empty() ? curl_easy_strerror(result) : detail};
}

} // namespace velquor::detail
