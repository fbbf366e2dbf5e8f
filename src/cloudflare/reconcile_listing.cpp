// Reading the reconciliation's listing: one pass over the text, keeping only
// the members the planner needs (a listing of thousands of records would
// otherwise become a tree of tens of thousands of objects first).
#include <algorithm>
#include <climits>

#include "cloudflare/listing_pages.h"
#include "cloudflare/reconcile.h"
#include "common/json_scan.h"

namespace nuv {

namespace {

using Kind = JsonScanner::Kind;

int32_t clamp_to_32_bits(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

// Reads a text member into `into` (true), or skips a value of another kind
// (false); a later member of the same key replaces an earlier one.
bool text_member(JsonScanner& scan, std::string& into, bool& present) {
  if (scan.peek() == Kind::kString) {
    present = scan.read_string(into);
  } else {
    present = false;
    scan.skip_value();
  }
  return scan.ok();
}

// The text items of a "tags" array (anything else: no tags); a later member
// replaces an earlier one.
bool read_tags(JsonScanner& scan, std::vector<std::string>& tags) {
  tags.clear();
  if (scan.peek() != Kind::kArray) return scan.skip_value();
  bool first = true;
  scan.enter_array();
  while (scan.next_element(first)) {
    if (scan.peek() == Kind::kString) {
      if (!scan.read_string(tags.emplace_back())) return false;
    } else if (!scan.skip_value()) {
      return false;
    }
  }
  return scan.ok();
}

// The texts and numbers of a "data" object (anything else: no data); a
// later member replaces an earlier one.
bool read_data(JsonScanner& scan, std::optional<RecordData>& data) {
  data.reset();
  if (scan.peek() != Kind::kObject) return scan.skip_value();
  RecordData members;
  std::string key;
  bool first = true;
  scan.enter_object();
  while (scan.next_member(first, key)) {
    const Kind kind = scan.peek();
    if (kind == Kind::kString) {
      DataValue value;
      if (!scan.read_string(value.text)) return false;
      members.emplace_back(key, std::move(value));
    } else if (kind == Kind::kNumber) {
      int64_t integer = 0;
      bool is_integer = false;
      DataValue value;
      value.is_number = true;
      if (!scan.read_number(integer, value.number, is_integer)) return false;
      if (is_integer) value.number = static_cast<double>(integer);
      members.emplace_back(key, std::move(value));
    } else if (!scan.skip_value()) {
      return false;
    }
  }
  data = std::move(members);
  return scan.ok();
}

// One element of "result"; `kept` tells whether it has the four texts.
bool read_record(JsonScanner& scan, ListedRecord& record, bool& kept) {
  bool has_id = false, has_name = false, has_type = false, has_content = false;
  bool has_comment = false;
  std::string comment;
  std::string key;
  bool first = true;
  scan.enter_object();
  while (scan.next_member(first, key)) {
    if (key == "id") {
      text_member(scan, record.id, has_id);
    } else if (key == "name") {
      text_member(scan, record.name, has_name);
    } else if (key == "type") {
      text_member(scan, record.type, has_type);
    } else if (key == "content") {
      text_member(scan, record.content, has_content);
    } else if (key == "comment") {
      text_member(scan, comment, has_comment);
    } else if (key == "tags") {
      if (!read_tags(scan, record.tags)) return false;
    } else if (key == "data") {
      if (!read_data(scan, record.data)) return false;
    } else if (key == "proxied") {
      if (!scan.read_truth(record.proxied)) return false;
    } else if (key == "priority") {
      int64_t value = 0;
      if (!scan.read_integer(value)) return false;
      record.priority = clamp_to_32_bits(value);
    } else if (key == "ttl") {
      int64_t value = 0;
      if (!scan.read_integer(value)) return false;
      record.ttl = static_cast<uint32_t>(clamp_to_32_bits(value));
    } else if (!scan.skip_value()) {
      return false;
    }
  }
  if (has_comment) record.comment = std::move(comment);
  kept = has_id && has_name && has_type && has_content;
  return scan.ok();
}

bool read_records(JsonScanner& scan, Listing& listing) {
  listing.records.clear();
  listing.element_count = 0;
  bool first = true;
  scan.enter_array();
  while (scan.next_element(first)) {
    ++listing.element_count;
    if (scan.peek() != Kind::kObject) {
      if (!scan.skip_value()) return false;
      continue;
    }
    ListedRecord record;
    bool kept = false;
    if (!read_record(scan, record, kept)) return false;
    if (kept) listing.records.push_back(std::move(record));
  }
  return scan.ok();
}

}  // namespace

std::optional<Listing> parse_listing(const std::string& body) {
  JsonScanner scan(body);
  if (scan.peek() != Kind::kObject) return std::nullopt;
  Listing listing;
  bool has_result = false;
  std::string key;
  bool first = true;
  scan.enter_object();
  while (scan.next_member(first, key)) {
    // A later member of the same key replaces an earlier one, as in a tree.
    if (key == "result") {
      has_result = scan.peek() == Kind::kArray;
      if (has_result ? !read_records(scan, listing) : !scan.skip_value()) return std::nullopt;
    } else if (key == "result_info" && scan.peek() == Kind::kObject) {
      if (!read_result_info_pages(scan, listing.total_pages)) return std::nullopt;
    } else if (!scan.skip_value()) {
      return std::nullopt;
    }
  }
  if (!scan.at_end() || !has_result) return std::nullopt;
  return listing;
}

}  // namespace nuv
