#include "cloudflare/listing_pages.h"

#include <optional>

#include "common/py_ref.h"
#include "surface/errors.h"
#include "transport/service_quota.h"
#include "transport/trace.h"

namespace nuv {

namespace {

using Kind = JsonScanner::Kind;

// The service's own window: waiting longer is never needed.
constexpr double kMaxQuotaWaitSeconds = kCloudflareWindowSeconds;

}  // namespace

bool read_result_info_pages(JsonScanner& scan, size_t& pages) {
  std::optional<int64_t> total_pages, total_count, per_page;
  std::string key;
  bool first = true;
  scan.enter_object();
  while (scan.next_member(first, key)) {
    std::optional<int64_t>* into = key == "total_pages"   ? &total_pages
                                   : key == "total_count" ? &total_count
                                   : key == "per_page"    ? &per_page
                                                          : nullptr;
    if (into != nullptr && scan.peek() == Kind::kNumber) {
      int64_t value = 0;
      if (!scan.read_integer(value)) return false;
      *into = value;
    } else {
      if (into != nullptr) into->reset();
      if (!scan.skip_value()) return false;
    }
  }
  if (!scan.ok()) return false;
  if (total_pages) {
    pages = *total_pages > 1 ? static_cast<size_t>(*total_pages) : 1;
  } else if (total_count && per_page && *per_page > 0 && *total_count > *per_page) {
    pages = static_cast<size_t>((*total_count - 1) / *per_page + 1);
  } else {
    pages = 1;
  }
  return true;
}

size_t listed_page_count(std::string_view body) {
  JsonScanner scan(body);
  if (scan.peek() != Kind::kObject) return 1;
  size_t pages = 1;
  std::string key;
  bool first = true;
  scan.enter_object();
  while (scan.next_member(first, key)) {
    if (key == "result_info" && scan.peek() == Kind::kObject) {
      if (!read_result_info_pages(scan, pages)) return 1;
    } else {
      if (key == "result_info") pages = 1;
      if (!scan.skip_value()) return 1;
    }
  }
  return pages;
}

PyObject* listed_items(PyObject* response) {
  PyRef items(PyObject_GetAttrString(response, "result"));
  if (!items) return nullptr;
  if (!PyList_Check(items.get())) {
    // The whole answer is the message, credentials masked.
    raise_for_response(response, response_masked_body(response));
    return nullptr;
  }
  return items.release();
}

bool read_every_page(const ApiContext& context, const std::string& first_path, size_t max_pages,
                     Permission permission, const std::string& what, const PageReader& read) {
  size_t pages = 1;
  for (size_t page = 1; page <= pages; ++page) {
    const std::string path = page == 1 ? first_path : first_path + "&page=" + std::to_string(page);
    const HttpResult answer = cloudflare_request(context, "GET", &path, nullptr);
    PyRef response(api_response(answer, context, permission));
    if (!response) return false;
    const int ok = response_ok(response.get());
    if (ok < 0) return false;
    if (ok == 0) {
      raise_for_response(response.get(), nullptr);
      return false;
    }
    if (page == 1) {
      pages = listed_page_count(answer.body);
      if (pages > max_pages) {
        PyErr_Format(cloudflare_error_class(),
                     "The %s fill %zu pages, more than the %zu a listing reads; nothing more "
                     "was read",
                     what.c_str(), pages, max_pages);
        return false;
      }
      if (pages > 1) trace("listing: %zu pages of %s\n", pages, what.c_str());
    }
    if (!read(answer, response.get())) return false;
    if (page < pages && !pace_by_service_quota(answer, kMaxQuotaWaitSeconds)) return false;
  }
  return true;
}

}  // namespace nuv
