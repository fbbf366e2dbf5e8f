// Reading the reconciliation's listing: only the members the planner needs.
#include <json-c/json.h>

#include "cloudflare/reconcile.h"
#include "common/json_tree.h"

namespace nuv {

namespace {

// A whole number member of `object`, if there is one.
std::optional<int64_t> whole_member(json_object* object, const char* key) {
  json_object* value = nullptr;
  if (!json_object_object_get_ex(object, key, &value) ||
      !(json_object_is_type(value, json_type_int) ||
        json_object_is_type(value, json_type_double))) {
    return std::nullopt;
  }
  return json_object_get_int64(value);
}

// Pages the service says the listing has: "total_pages", else "total_count"
// over "per_page"; 1 when it says neither.
size_t pages_of(json_object* root) {
  json_object* info = nullptr;
  if (!json_object_object_get_ex(root, "result_info", &info) ||
      !json_object_is_type(info, json_type_object)) {
    return 1;
  }
  if (const std::optional<int64_t> pages = whole_member(info, "total_pages")) {
    return *pages > 1 ? static_cast<size_t>(*pages) : 1;
  }
  const std::optional<int64_t> count = whole_member(info, "total_count");
  const std::optional<int64_t> per_page = whole_member(info, "per_page");
  if (!count || !per_page || *per_page <= 0 || *count <= *per_page) return 1;
  return static_cast<size_t>((*count + *per_page - 1) / *per_page);
}

}  // namespace

std::optional<Listing> parse_listing(const std::string& body) {
  JsonTree root(json_tokener_parse(body.c_str()));
  json_object* result = nullptr;
  if (!json_object_is_type(root.get(), json_type_object) ||
      !json_object_object_get_ex(root.get(), "result", &result) ||
      !json_object_is_type(result, json_type_array)) {
    return std::nullopt;
  }
  Listing listing;
  listing.total_pages = pages_of(root.get());
  listing.element_count = json_object_array_length(result);
  const size_t count = listing.element_count;
  std::vector<ListedRecord>& out = listing.records;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    json_object* element = json_object_array_get_idx(result, i);
    if (!json_object_is_type(element, json_type_object)) continue;
    auto text = [&](const char* key, std::string& into) {
      json_object* value = nullptr;
      if (!json_object_object_get_ex(element, key, &value) ||
          !json_object_is_type(value, json_type_string)) {
        return false;
      }
      into.assign(json_object_get_string(value),
                  static_cast<size_t>(json_object_get_string_len(value)));
      return true;
    };
    ListedRecord record;
    if (!text("id", record.id) || !text("name", record.name) || !text("type", record.type) ||
        !text("content", record.content)) {
      continue;
    }
    json_object* value = nullptr;
    if (json_object_object_get_ex(element, "proxied", &value)) {
      record.proxied = json_object_get_boolean(value) != 0;
    }
    if (json_object_object_get_ex(element, "priority", &value)) {
      record.priority = json_object_get_int(value);  // json-c clamps to 32 bits
    }
    if (json_object_object_get_ex(element, "ttl", &value)) {
      record.ttl = static_cast<uint32_t>(json_object_get_int(value));
    }
    std::string comment;
    if (text("comment", comment)) record.comment = std::move(comment);
    out.push_back(std::move(record));
  }
  return listing;
}

}  // namespace nuv
