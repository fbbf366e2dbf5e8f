// plan_reconciliation on a wanted record and a listing decoded from the
// input. Names, types and contents come from small alphabets (plus a few raw
// bytes) so that records collide the way a real zone's do. Checked:
//   - present false plans only deletes of records with the wanted name,
//     type and content (and MX priority);
//   - A and AAAA never delete each other, and no write touches another name;
//   - every write's target points into the listing, no record is written
//     twice, and the plan's outcome agrees with its writes;
//   - all writes succeeding, a second plan on the resulting records makes no
//     write (the call converges);
//   - sent one at a time and stopping at a failed create, with what it
//     deleted restored, every listed record is still there afterwards.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cloudflare/reconcile.h"
#include "cloudflare/record_match.h"
#include "fuzz_support.h"

namespace {

using nuv::ListedRecord;
using nuv::Outcome;
using nuv::PlannedWrite;
using nuv::ReconcilePlan;
using nuv::WantedRecord;
using nuv::WriteKind;
using nuv::WriteStep;

std::string pick(FuzzedDataProvider& input, const std::vector<const char*>& choices) {
  // One value in eight is raw bytes, the rest from the alphabet.
  if (input.ConsumeIntegralInRange<int>(0, 7) == 0) return input.ConsumeRandomLengthString(6);
  return choices[input.ConsumeIntegralInRange<size_t>(0, choices.size() - 1)];
}

const std::vector<const char*> kTypes = {"A", "AAAA", "CNAME", "TXT", "MX", "NS", "cname", "a"};
const std::vector<const char*> kNames = {"host.example.com", "host.example.com", "www.example.com",
                                         "HOST.example.com", "host.example.com."};
const std::vector<const char*> kComments = {"", "owner: ops", "x"};
const std::vector<const char*> kContents = {
    "192.0.2.1", "2001:db8::1", "2001:DB8:0::1", "a",  "b", "\"a\"",
    "mail.example.com", "MAIL.example.com.", "host.example.com", ""};

std::string wanted_content(FuzzedDataProvider& input, const std::string& type) {
  if (type != "MX") return pick(input, kContents);
  // "host|priority" in its usual and unusual shapes.
  std::string content;
  if (input.ConsumeBool()) content += "|";
  content += pick(input, kContents);
  if (input.ConsumeBool()) {
    content += input.ConsumeBool() ? "|" : "||";
    static const std::vector<const char*> kPriorities = {"10", "20", "0", " 5x", "-1",
                                                         "99999999999"};
    content += pick(input, kPriorities);
  }
  return content;
}

// The listed form of the wanted record, as the service would list it.
struct Wanted {
  std::string content;
  int32_t priority;
};

Wanted listed_form(const WantedRecord& wanted) {
  if (wanted.record.type != "MX") return {wanted.record.content, 0};
  nuv::MxContent mx = nuv::split_mx_content(wanted.record.content);
  return {*mx.host, mx.priority};
}

bool points_into(const ListedRecord* record, const std::vector<ListedRecord>& listing) {
  return !listing.empty() && record >= listing.data() && record < listing.data() + listing.size();
}

bool is_address(const std::string& type) { return type == "A" || type == "AAAA"; }

// The records after sending the plan's writes one at a time, each
// succeeding unless it is a create of the wanted record and `create_fails`;
// a failure stops the writes and restores the conflicting records deleted.
std::vector<ListedRecord> apply(const ReconcilePlan& plan, const WantedRecord& wanted,
                                const std::vector<ListedRecord>& listing, bool create_fails) {
  const Wanted form = listed_form(wanted);
  ListedRecord created{"created",         wanted.record.name, wanted.record.type,    form.content,
                       wanted.record.proxied, form.priority,    wanted.record.ttl, wanted.record.comment, {},
                       std::nullopt};
  // Slots by listing index; removed ones are dropped at the end.
  std::vector<ListedRecord> state = listing;
  std::vector<bool> removed(listing.size(), false);
  std::vector<ListedRecord> appended;
  std::vector<size_t> to_restore;
  for (const PlannedWrite* write : nuv::one_at_a_time(plan)) {
    const size_t index = write->listed ? static_cast<size_t>(write->listed - listing.data()) : 0;
    if (write->kind == WriteKind::kCreate) {
      if (create_fails) {
        for (size_t i : to_restore) appended.push_back(listing[i]);
        break;
      }
      appended.push_back(created);
    } else if (write->kind == WriteKind::kUpdate) {
      // A PATCH: only the fields that differ.
      ListedRecord& target = state[index];
      if (write->fields & nuv::kFieldContent) target.content = form.content;
      if (write->fields & nuv::kFieldProxied) target.proxied = wanted.record.proxied;
      if (write->fields & nuv::kFieldTtl) target.ttl = wanted.record.ttl;
      if (write->fields & nuv::kFieldPriority) target.priority = form.priority;
      if (write->fields & nuv::kFieldComment) target.comment = wanted.record.comment;
    } else {
      FUZZ_CHECK(!removed[index]);  // never the same record twice
      removed[index] = true;
      if (write->step == WriteStep::kClearConflict) to_restore.push_back(index);
    }
    if (write->step != WriteStep::kClearConflict) to_restore.clear();
  }
  std::vector<ListedRecord> out;
  for (size_t i = 0; i < state.size(); ++i) {
    if (!removed[i]) out.push_back(state[i]);
  }
  out.insert(out.end(), appended.begin(), appended.end());
  return out;
}

auto value_of(const ListedRecord& r) {
  return std::tie(r.type, r.name, r.content, r.proxied, r.ttl);
}

std::vector<std::tuple<std::string, std::string, std::string, bool, uint32_t>> values(
    const std::vector<ListedRecord>& records) {
  std::vector<std::tuple<std::string, std::string, std::string, bool, uint32_t>> out;
  for (const ListedRecord& r : records) out.emplace_back(value_of(r));
  std::sort(out.begin(), out.end());
  return out;
}

void check_plan(const ReconcilePlan& plan, const WantedRecord& wanted,
                const std::vector<ListedRecord>& listing, bool listing_empty) {
  const nuv::RecordFields& want = wanted.record;
  const Wanted form = listed_form(wanted);
  bool creates = false;
  std::set<const ListedRecord*> targets;
  for (const PlannedWrite& write : plan.writes) {
    if (write.kind == WriteKind::kCreate) {
      FUZZ_CHECK(write.listed == nullptr);
      creates = true;
      continue;
    }
    FUZZ_CHECK(points_into(write.listed, listing));
    FUZZ_CHECK(targets.insert(write.listed).second);
    const ListedRecord& r = *write.listed;
    // The listing is of the wanted name; nothing else is touched.
    FUZZ_CHECK(nuv::same_dns_name(r.name, want.name));
    const std::string type = nuv::record_type_key(r.type);
    if (write.kind == WriteKind::kDelete) {
      FUZZ_CHECK(!(is_address(want.type) && is_address(type) && want.type != type));
    }
    if (write.kind == WriteKind::kUpdate) FUZZ_CHECK(type == want.type && write.fields != 0);
    if (wanted.keep_proxied) FUZZ_CHECK(!(write.fields & nuv::kFieldProxied));
    if (wanted.keep_ttl) FUZZ_CHECK(!(write.fields & nuv::kFieldTtl));
    // Only a CNAME swap deletes before it creates.
    if (write.step == WriteStep::kClearConflict) {
      FUZZ_CHECK(write.kind == WriteKind::kDelete && (type == "CNAME" || is_address(type)));
    }
  }
  for (const nuv::Announcement& line : plan.announcements) {
    FUZZ_CHECK(points_into(line.listed, listing));
  }
  // Batch order: deletes, then updates, then creates.
  FUZZ_CHECK(std::is_sorted(plan.writes.begin(), plan.writes.end(),
                            [](const PlannedWrite& a, const PlannedWrite& b) {
                              auto rank = [](WriteKind k) {
                                return k == WriteKind::kDelete ? 0 : k == WriteKind::kUpdate ? 1 : 2;
                              };
                              return rank(a.kind) < rank(b.kind);
                            }));
  if (plan.outcome == Outcome::kWriteResult) FUZZ_CHECK(plan.result_index < plan.writes.size());

  if (!wanted.present) {
    if (plan.writes.empty()) {
      FUZZ_CHECK(plan.outcome == (listing_empty ? Outcome::kRecordNotFound
                                                : Outcome::kNothingToDo));
    }
    for (const PlannedWrite& write : plan.writes) {
      FUZZ_CHECK(write.kind == WriteKind::kDelete);
      FUZZ_CHECK(nuv::record_type_key(write.listed->type) == want.type &&
                 nuv::same_record_content(want.type, write.listed->content, form.content));
      if (want.type == "MX") FUZZ_CHECK(write.listed->priority == form.priority);
      FUZZ_CHECK(plan.outcome == Outcome::kWriteResult);
    }
    return;
  }

  FUZZ_CHECK(plan.outcome != Outcome::kRecordNotFound && plan.outcome != Outcome::kNothingToDo);
  if (plan.outcome == Outcome::kMxFound) {
    FUZZ_CHECK(points_into(plan.mx_found, listing));
    FUZZ_CHECK(plan.mx_found->type == "MX" && plan.mx_found->priority == form.priority);
    FUZZ_CHECK(plan.writes.empty());
  } else {
    FUZZ_CHECK(plan.mx_found == nullptr);
  }
  if (plan.outcome == Outcome::kUnchanged || plan.outcome == Outcome::kMxFound) {
    for (const PlannedWrite& write : plan.writes) FUZZ_CHECK(write.kind == WriteKind::kDelete);
  }

  // Every write succeeding, the next identical call has nothing to do.
  const std::vector<ListedRecord> after = apply(plan, wanted, listing, false);
  const ReconcilePlan again = nuv::plan_reconciliation(wanted, after, after.empty());
  FUZZ_CHECK(again.outcome == Outcome::kUnchanged || again.outcome == Outcome::kMxFound);
  FUZZ_CHECK(again.writes.empty());

  // A failed create loses nothing: what was deleted for it comes back.
  if (creates) {
    const std::vector<ListedRecord> failed = apply(plan, wanted, listing, true);
    FUZZ_CHECK(values(failed) == values(listing));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  WantedRecord wanted;
  wanted.present = input.ConsumeBool();
  wanted.replace = input.ConsumeBool();
  const bool proxied = input.ConsumeBool();
  wanted.record.ttl = input.ConsumeBool() ? 1 : input.ConsumeIntegralInRange<uint32_t>(0, nuv::kMaxTtl);
  // The methods upper-case the type before planning.
  wanted.record.type = nuv::record_type_key(pick(input, kTypes));
  if (input.ConsumeBool()) wanted.record.comment = pick(input, kComments);
  wanted.record.proxied = proxied && nuv::is_proxiable_type(wanted.record.type);
  wanted.record.name = pick(input, kNames);
  wanted.record.content = wanted_content(input, wanted.record.type);
  // The caller refuses an MX without a host, or with a priority outside
  // 0..65535, before planning.
  if (wanted.record.type == "MX") {
    const nuv::MxContent mx = nuv::split_mx_content(wanted.record.content);
    if (!mx.host || mx.priority < 0 || mx.priority > nuv::kMaxMxPriority) return 0;
  }

  std::vector<ListedRecord> listing;
  const size_t count = input.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
    ListedRecord r;
    r.id = "id" + std::to_string(i);
    r.type = pick(input, kTypes);
    // The service lists only the wanted name, but a listing is not trusted.
    r.name = input.ConsumeIntegralInRange<int>(0, 5) == 0 ? pick(input, kNames) : wanted.record.name;
    r.content = pick(input, kContents);
    r.proxied = input.ConsumeBool();
    static const int32_t kPriorities[] = {10, 20, 0, 5, -1, INT32_MAX};
    r.priority = kPriorities[input.ConsumeIntegralInRange<size_t>(0, 5)];
    r.ttl = input.ConsumeBool() ? 1 : 300;
    if (input.ConsumeBool()) r.comment = pick(input, kComments);
    listing.push_back(std::move(r));
  }

  // Elements skipped for missing fields leave a listing that was not empty.
  const bool listing_empty = listing.empty() && input.ConsumeBool();
  // Kept attributes: a created record gets the defaults, an existing one
  // keeps its own.
  wanted.keep_proxied = input.ConsumeBool();
  wanted.keep_ttl = input.ConsumeBool();
  if (wanted.keep_proxied) wanted.record.proxied = false;
  if (wanted.keep_ttl) wanted.record.ttl = 1;
  const ReconcilePlan plan = nuv::plan_reconciliation(wanted, listing, listing_empty);
  check_plan(plan, wanted, listing, listing_empty);
  return 0;
}
