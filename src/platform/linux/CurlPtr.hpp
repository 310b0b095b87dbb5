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

} // namespace velquor::detail
