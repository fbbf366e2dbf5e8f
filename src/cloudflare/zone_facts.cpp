#include "cloudflare/zone_facts.h"

#include "cloudflare/record_match.h"
#include "common/json_scan.h"

namespace nuv {

namespace {

using Kind = JsonScanner::Kind;

constexpr size_t kFreeBatchLimit = 200;
constexpr size_t kPaidBatchLimit = 3500;
constexpr size_t kFreeCommentLimit = 100;
constexpr size_t kPaidCommentLimit = 500;

bool read_text(JsonScanner& scan, std::optional<std::string>& into) {
  if (scan.peek() != Kind::kString) {
    into.reset();
    return scan.skip_value();
  }
  into.emplace();
  return scan.read_string(*into);
}

bool read_plan(JsonScanner& scan, ZonePlan& plan) {
  if (scan.peek() != Kind::kObject) {
    plan = ZonePlan::kUnknown;
    return scan.skip_value();
  }
  std::optional<std::string> legacy_id, name;
  std::string key;
  bool first = true;
  scan.enter_object();
  while (scan.next_member(first, key)) {
    const bool ok = key == "legacy_id" ? read_text(scan, legacy_id)
                    : key == "name"    ? read_text(scan, name)
                                       : scan.skip_value();
    if (!ok) return false;
  }
  const std::optional<std::string>& said = legacy_id ? legacy_id : name;
  if (!said) {
    plan = ZonePlan::kUnknown;
  } else {
    std::string lower = said->substr(0, 4);
    for (char& c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    plan = lower == "free" ? ZonePlan::kFree : ZonePlan::kPaid;
  }
  return scan.ok();
}

bool read_zone(JsonScanner& scan, ZoneFacts& zone) {
  std::string key;
  bool first = true;
  scan.enter_object();
  while (scan.next_member(first, key)) {
    const bool ok = key == "name"   ? read_text(scan, zone.name)
                    : key == "plan" ? read_plan(scan, zone.plan)
                                    : scan.skip_value();
    if (!ok) return false;
  }
  return scan.ok();
}

}  // namespace

ZoneFacts read_zone_facts(std::string_view body, std::string_view domain) {
  JsonScanner scan(body);
  if (scan.peek() != Kind::kObject) return {};
  ZoneFacts facts;
  std::string key;
  bool first = true;
  scan.enter_object();
  while (scan.next_member(first, key)) {
    if (key != "result") {
      if (!scan.skip_value()) return {};
      continue;
    }
    facts = {};
    if (scan.peek() == Kind::kObject) {
      if (!read_zone(scan, facts)) return {};
    } else if (scan.peek() == Kind::kArray) {
      bool first_zone = true;
      scan.enter_array();
      while (scan.next_element(first_zone)) {
        ZoneFacts zone;
        if (scan.peek() != Kind::kObject) {
          if (!scan.skip_value()) return {};
          continue;
        }
        if (!read_zone(scan, zone)) return {};
        if (!facts.name && zone.name && same_dns_name(*zone.name, domain)) facts = zone;
      }
    } else if (!scan.skip_value()) {
      return {};
    }
  }
  if (!scan.at_end()) return {};
  return facts;
}

size_t batch_limit_of(ZonePlan plan) {
  return plan == ZonePlan::kPaid ? kPaidBatchLimit : kFreeBatchLimit;
}

size_t comment_limit_of(ZonePlan plan) {
  return plan == ZonePlan::kPaid ? kPaidCommentLimit : kFreeCommentLimit;
}

}  // namespace nuv
