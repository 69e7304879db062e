#include "provisioning/curl_client.h"

#include <mutex>

namespace velnaro {

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlPtr NewCurlClient() {
  InitCurlOnce();
  CurlPtr c(curl_easy_init());
  if (!c) return c;
  curl_easy_setopt(c.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  return c;
}

}  // namespace velnaro
