#include "cloudflare/name_listing.h"

#include <unordered_set>

#include "cloudflare/records.h"

namespace nuv {

NameRecords list_name_records(const ApiContext& context, std::string_view zone_id,
                              const std::string& name,
                              const std::function<bool(const HttpResult&)>& accept_page) {
  NameRecords out;
  const std::string first_path = listing_path(zone_id, nullptr, name.c_str(), nullptr);
  std::unordered_set<std::string> seen_ids;
  for (size_t page = 1; page <= out.pages; ++page) {
    const std::string path = page == 1 ? first_path : first_path + "&page=" + std::to_string(page);
    out.last_answer = cloudflare_request(context, "GET", &path, nullptr);
    if (page == 1) out.first_answer = out.last_answer;
    if (accept_page && !accept_page(out.last_answer)) {
      out.status = ListingStatus::kStopped;
      return out;
    }
    std::optional<Listing> parsed = parse_listing(out.last_answer.body);
    if (!parsed) {
      out.status = ListingStatus::kNotAListing;
      return out;
    }
    if (page == 1) {
      out.pages = parsed->total_pages;
      if (out.pages > kMaxListingPages) {
        out.status = ListingStatus::kTooManyPages;
        return out;
      }
    }
    out.element_count += parsed->element_count;
    for (ListedRecord& record : parsed->records) {
      if (seen_ids.insert(record.id).second) out.records.push_back(std::move(record));
    }
  }
  return out;
}

}  // namespace nuv
