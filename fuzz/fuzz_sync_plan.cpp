// plan_sync and batches_of on a zone, a wanted state and a scope decoded
// from the input, from small alphabets so that records collide the way a
// real zone's do. Checked:
//   - no write touches a record outside the scope, or the apex NS and SOA;
//   - every listed record is written at most once, and every wanted record
//     in scope is created, is what an update brings about, matches a listed
//     record already, or is skipped;
//   - the batch body of the plan is one JSON object with the three lists;
//   - batches hold at most the limit, each write exactly once, a name's
//     writes in one batch when they fit, each batch in the service's order.
#include <fuzzer/FuzzedDataProvider.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cloudflare/record_match.h"
#include "cloudflare/sync_execute.h"
#include "cloudflare/sync_plan.h"
#include "fuzz_support.h"

namespace {

using nuv::ListedRecord;
using nuv::SyncAction;
using nuv::SyncWanted;
using nuv::SyncWrite;

const std::vector<const char*> kNames = {"example.com", "a.example.com", "A.example.com.",
                                         "b.example.com"};
const std::vector<const char*> kTypes = {"A", "AAAA", "CNAME", "TXT", "MX", "NS", "SOA", "CAA"};
const std::vector<const char*> kContents = {
    "192.0.2.1", "192.0.2.2", "2001:db8::1", "t.example.net", "T.example.net.", "\"v\"", "v"};
const std::vector<const char*> kComments = {"", "owner=ci", "x owner=ci", "owner=ci2"};

const char* pick(FuzzedDataProvider& input, const std::vector<const char*>& choices) {
  return choices[input.ConsumeIntegralInRange<size_t>(0, choices.size() - 1)];
}

// CAA data that differs, or not, by the service's rules (tag case, a
// number written as text).
std::optional<nuv::RecordData> pick_data(FuzzedDataProvider& input, const std::string& type) {
  if (type != "CAA" || !input.ConsumeBool()) return std::nullopt;
  nuv::DataValue flags, tag, value;
  if (input.ConsumeBool()) {
    flags.is_number = true;
  } else {
    flags.text = "0";
  }
  tag.text = input.ConsumeBool() ? "issue" : "ISSUE";
  value.text = input.ConsumeBool() ? "a" : "b";
  return nuv::RecordData{{"flags", flags}, {"tag", tag}, {"value", value}};
}

int rank(SyncAction action) {
  return action == SyncAction::kDelete ? 0 : action == SyncAction::kUpdate ? 1 : 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<ListedRecord> listing(input.ConsumeIntegralInRange<size_t>(0, 8));
  int id = 0;
  for (ListedRecord& r : listing) {
    r = ListedRecord{std::to_string(++id),
                     pick(input, kNames),
                     pick(input, kTypes),
                     pick(input, kContents),
                     input.ConsumeBool(),
                     input.ConsumeIntegralInRange<int32_t>(0, 2),
                     input.ConsumeBool() ? 1u : 300u,
                     std::string(pick(input, kComments)),
                     {},
                     std::nullopt};
    r.data = pick_data(input, r.type);
  }
  std::vector<SyncWanted> wanted(input.ConsumeIntegralInRange<size_t>(0, 8));
  for (SyncWanted& w : wanted) {
    w.type = pick(input, kTypes);
    w.name = pick(input, kNames);
    w.content = pick(input, kContents);
    if (input.ConsumeBool()) w.ttl = input.ConsumeBool() ? 1u : 300u;
    if (input.ConsumeBool()) w.proxied = input.ConsumeBool();
    if (input.ConsumeBool()) w.priority = input.ConsumeIntegralInRange<int32_t>(0, 2);
    if (input.ConsumeBool()) w.comment = pick(input, kComments);
    w.data = pick_data(input, w.type);
  }
  nuv::SyncScope scope;
  scope.zone_name = "example.com";
  if (input.ConsumeBool()) scope.owner_marker = "owner=ci";
  if (input.ConsumeBool()) scope.types = std::vector<std::string>{pick(input, kTypes)};
  if (input.ConsumeBool())
    scope.names = std::vector<std::string>{nuv::dns_name_key(pick(input, kNames))};

  const nuv::SyncPlan plan = nuv::plan_sync(wanted, listing, scope);
  std::set<const ListedRecord*> written;
  std::set<const SyncWanted*> accounted;
  for (const SyncWrite& w : plan.writes) {
    FUZZ_CHECK(w.action != SyncAction::kSkip);
    if (w.wanted != nullptr) accounted.insert(w.wanted);
    if (w.listed == nullptr) continue;
    FUZZ_CHECK(nuv::in_sync_scope(*w.listed, scope));
    const std::string type = nuv::record_type_key(w.listed->type);
    FUZZ_CHECK(
        !(nuv::dns_name_key(w.listed->name) == "example.com" && (type == "NS" || type == "SOA")));
    FUZZ_CHECK(written.insert(w.listed).second);
  }
  for (const SyncWrite& w : plan.skipped) accounted.insert(w.wanted);
  for (const SyncWanted& w : wanted) {
    const bool in_scope = (!scope.types || (*scope.types)[0] == w.type) &&
                          (!scope.names || (*scope.names)[0] == nuv::dns_name_key(w.name));
    bool listed_already = false;
    for (const ListedRecord& r : listing) {
      listed_already |= nuv::in_sync_scope(r, scope) && nuv::same_dns_name(r.name, w.name) &&
                        nuv::record_type_key(r.type) == w.type &&
                        nuv::is_wanted_record(r, w);
    }
    if (in_scope) FUZZ_CHECK(accounted.count(&w) == 1 || listed_already);
  }

  nuv_fuzz::parse_json_exactly(
      nuv::sync_batch_body(nuv::send_order(plan, 200), scope.owner_marker));
  std::vector<const SyncWrite*> writes;
  for (const SyncWrite& w : plan.writes) writes.push_back(&w);
  const size_t limit = input.ConsumeIntegralInRange<size_t>(1, 4);
  std::map<size_t, size_t> group_size, batch_of_group;
  for (const SyncWrite* w : writes) ++group_size[w->name_group];
  size_t seen = 0;
  const auto batches = nuv::batches_of(writes, limit);
  for (size_t b = 0; b < batches.size(); ++b) {
    FUZZ_CHECK(!batches[b].empty() && batches[b].size() <= limit);
    for (size_t i = 0; i < batches[b].size(); ++i) {
      const SyncWrite* w = batches[b][i];
      if (i > 0) FUZZ_CHECK(rank(batches[b][i - 1]->action) <= rank(w->action));
      if (group_size[w->name_group] <= limit) {
        FUZZ_CHECK(batch_of_group.emplace(w->name_group, b).first->second == b);
      }
      ++seen;
    }
  }
  FUZZ_CHECK(seen == writes.size());
  return 0;
}
