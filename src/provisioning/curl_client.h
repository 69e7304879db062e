#pragma once
// What every libcurl client of ours shares: one global init, owned handles, and the
// options that keep a transfer to plain web traffic.

#include <curl/curl.h>

#include <memory>

namespace velnaro {

inline constexpr const char* kUserAgent =
    "Mozilla/5.0 (Windows; U; Windows NT 6.0; it; rv:1.8.1.12)";

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

// Runs curl_global_init once per process.
void InitCurlOnce();

// A new handle (nullptr when libcurl has none) limited to http/https, redirects included,
// and without signals.
CurlPtr NewCurlClient();

}  // namespace velnaro
