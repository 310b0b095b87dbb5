// Owning handles for libcurl objects.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace velquor::detail {

template <auto Free> struct CurlDeleter {
    template <typename T> void operator()(T* p) const noexcept { Free(p); }
};

using CURL_ptr = std::unique_ptr<CURL, CurlDeleter<curl_easy_cleanup>>;
using curl_slist_ptr = std::unique_ptr<curl_slist, CurlDeleter<curl_slist_free_all>>;
using CURLM_ptr = std::unique_ptr<CURLM, CurlDeleter<curl_multi_cleanup>>;
using CURLU_ptr = std::unique_ptr<CURLU, CurlDeleter<curl_url_cleanup>>;
// Text that libcurl allocated (curl_url_get and friends).
using curl_text_ptr = std::unique_ptr<char, CurlDeleter<curl_free>>;

} // namespace velquor::detail
