// One HTTP request on its way through libcurl: the easy handle with its options, the reply as it
// arrives, and the completion that receives the outcome.
#pragma once

#include "util/CurlPtr.hpp"

#include <velquor/Platform.hpp>

#include <chrono>
#include <string>

namespace velquor::detail {

// Not thread-safe. Built on the sending thread, then owned by the network thread, which runs its
// libcurl callbacks and calls finish(); the completion therefore runs on the network thread.
class CurlTransfer {
public:
    struct Options {
        std::string trustFile; // empty: the system trust store
        std::string proxy;     // empty: no proxy
        std::string noProxy;
        // Replaces the request's own inactivity limit when non-zero.
        std::chrono::seconds inactivityLimit{0};
    };

    // Never fails: a request that cannot be sent (a malformed method or header) is refused, and
    // finish() then reports why.
    CurlTransfer(HttpRequest request, HttpTransport::Completion completion, const Options& options);
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    // Null when the request was refused.
    CURL* handle() const { return refusal_.empty() ? easy_.get() : nullptr; }
    // Calls the completion once: with the reply when `result` is CURLE_OK and a status arrived,
    // else with the error for `result` (or for the refusal).
    void finish(CURLcode result);

    // The transport error for a libcurl result: domain "NSURLErrorDomain", the code of the
    // platform's URL-loading errors, and `detail` (else libcurl's text for the result).
    static HttpError errorFor(CURLcode result, long osError, const std::string& detail);

private:
    void configure(const Options& options);
    void moved() { lastMoved_ = std::chrono::steady_clock::now(); }
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
    static int onConnected(void* self, char*, char*, int, int);
    static int onProgress(void* self, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up);

    HttpRequest request_;
    HttpTransport::Completion completion_;
    CURL_ptr easy_;
    curl_slist_ptr headers_;
    HttpReply reply_;
    std::string refusal_;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    std::chrono::seconds inactivityLimit_;
    std::chrono::steady_clock::time_point lastMoved_;
    curl_off_t lastUp_ = 0;
    curl_off_t lastDown_ = 0;
    bool connected_ = false;
    bool inactive_ = false;
    bool tooLarge_ = false;
};

} // namespace velquor::detail
