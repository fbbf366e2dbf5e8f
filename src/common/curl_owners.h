// Owner of a libcurl header list. (Easy handles live per thread and are
// owned by the transport's shared state, which must not clean up a handle
// inherited through fork.)
#pragma once

#include <curl/curl.h>

#include <utility>

namespace nuv {

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
