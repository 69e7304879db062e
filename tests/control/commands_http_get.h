#pragma once
// A GET (or a form POST) to the control endpoint on 127.0.0.1, as the web application's
// browser sends it.

#include <curl/curl.h>

#include <cstdint>
#include <string>

namespace velnaro::testing {

struct HttpReply {
  long status = 0;  // 0: no answer
  std::string body;
};

// target: path and percent-encoded query, e.g. "/phone/?Action=GETSTATUS". With a form,
// a POST of that body as application/x-www-form-urlencoded.
inline HttpReply HttpGet(uint16_t port, const std::string& target,
                         const std::string* form = nullptr) {
  HttpReply r;
  CURL* c = curl_easy_init();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + target;
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  if (form) {
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(form->size()));
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, form->c_str());
  }
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, +[](char* d, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(d, size * n);
    return size * n;
  });
  if (curl_easy_perform(c) == CURLE_OK) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
  curl_easy_cleanup(c);
  return r;
}

}  // namespace velnaro::testing
