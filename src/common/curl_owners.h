// Owners of libcurl resources: an easy handle and a header list.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <utility>

namespace nuv {

struct CurlEasyDeleter {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

class CurlHeaderList {
 public:
  CurlHeaderList() noexcept = default;
  CurlHeaderList(const CurlHeaderList&) = delete;
  CurlHeaderList& operator=(const CurlHeaderList&) = delete;
  CurlHeaderList(CurlHeaderList&& other) noexcept : head_(std::exchange(other.head_, nullptr)) {}
  ~CurlHeaderList() { curl_slist_free_all(head_); }

  // curl_slist_append returns nullptr and leaves the list as it was when it
  // cannot allocate; the caller must not go on with a header missing.
  [[nodiscard]] bool append(const char* line) noexcept {
    curl_slist* grown = curl_slist_append(head_, line);
    if (grown == nullptr) return false;
    head_ = grown;
    return true;
  }
  curl_slist* get() const noexcept { return head_; }

 private:
  curl_slist* head_ = nullptr;
};

}  // namespace nuv
