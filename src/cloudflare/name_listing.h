// Every record of one name, page after page: what the reconciliation plans
// from, and what it reads again when a write's outcome is unknown.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cloudflare/reconcile.h"
#include "cloudflare/request.h"

namespace nuv {

// Pages of one name's listing read at most: 100 records each, so 10,000
// records of one name. Past it nothing is planned.
inline constexpr size_t kMaxListingPages = 100;

enum class ListingStatus {
  kComplete,
  kStopped,       // `accept_page` refused a page (the page is `last_answer`)
  kNotAListing,   // a page that is not JSON or has no "result" array (`last_answer`)
  kTooManyPages,  // the first page said `pages`, more than kMaxListingPages
};

struct NameRecords {
  ListingStatus status = ListingStatus::kComplete;
  // Every record listed, once each (records added while the pages are read
  // shift them, so one may be listed twice), in the service's order.
  std::vector<ListedRecord> records;
  size_t element_count = 0;
  size_t pages = 1;
  HttpResult first_answer;  // the first page's answer
  HttpResult last_answer;   // the last page read
};

// Lists the records named `name` (exactly: the service's name filter is
// exact, so give it in the stored form, dns_name_key) in the zone.
// `accept_page`, when given, sees each page's answer first; false stops the
// listing there. Never throws but std::bad_alloc.
NameRecords list_name_records(const ApiContext& context, std::string_view zone_id,
                              const std::string& name,
                              const std::function<bool(const HttpResult&)>& accept_page = {});

}  // namespace nuv
