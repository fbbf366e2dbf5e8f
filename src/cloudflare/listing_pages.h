// The one pagination of the library: every page of a listing (zones,
// records), bounded. The page count is the service's word on the first
// page, checked against a cap before any further request is sent, so an
// answer claiming 10^9 pages (or a page count that is not a number) costs
// one request, never a run into the rate limit.
#pragma once

#include "common/python_compat.h"

#include <cstddef>
#include <functional>
#include <string>

#include "cloudflare/request.h"
#include "common/json_scan.h"

namespace nuv {

// Pages read at most: a zone's records at 5,000 a page (500,000 records),
// and zones at the service's 50 a page (50,000 zones; still fewer requests
// than the rate limit's window allows).
inline constexpr size_t kMaxRecordPages = 100;
inline constexpr size_t kMaxZonePages = 1000;

// Inside "result_info" (after peek() says kObject): the pages the service
// says the listing has: "total_pages", else "total_count" over "per_page";
// 1 when it says neither or says something that is not a number. False on
// a syntax error.
bool read_result_info_pages(JsonScanner& scan, size_t& pages);

// The page count an answer states (the last "result_info" member wins; one
// that is not an object means 1). 1 for text that is not a JSON object.
size_t listed_page_count(std::string_view body);

// Called with each page's answer and its ApiResponse (borrowed); returns
// false with an exception set to stop the listing.
using PageReader = std::function<bool(const HttpResult& answer, PyObject* response)>;

// GETs `first_path` (its query already holding the filters and per_page),
// then "&page=N" for N = 2.. up to the first page's count, at most
// `max_pages` (more raises CloudflareError before a second request). Waits
// between pages when the service says the token has no request left.
// `what` names the listing in messages ("records of example.com"). A page
// whose answer is not ok raises the matching CloudflareError. On error, set
// an exception and return false.
bool read_every_page(const ApiContext& context, const std::string& first_path, size_t max_pages,
                     Permission permission, const std::string& what, const PageReader& read);

// The "result" list of an ok listing answer (a new reference). On error
// (no list: CloudflareError with the masked answer), set an exception and
// return nullptr.
PyObject* listed_items(PyObject* response);

}  // namespace nuv
