#include "cloudflare/reconcile.h"

#include <string_view>

#include "cloudflare/record_match.h"

namespace nuv {

namespace {

// Only a CNAME excludes other records of its name; A and AAAA live together.
bool conflicts_in_type(std::string_view listed, std::string_view wanted) {
  auto address = [](std::string_view type) { return type == "A" || type == "AAAA"; };
  return (listed == "CNAME" && address(wanted)) || (wanted == "CNAME" && address(listed));
}

// The same-name records of the listing, sorted by what they are to the
// wanted record.
struct Neighbours {
  std::vector<const ListedRecord*> matches;      // the wanted record itself
  std::vector<const ListedRecord*> same_type;    // same type, other content
  std::vector<const ListedRecord*> conflicting;  // in the way of the wanted type
};

Neighbours sort_neighbours(const WantedRecord& wanted, const MxContent& mx,
                           const std::vector<ListedRecord>& listing) {
  const RecordFields& want = wanted.record;
  const bool is_mx = want.type == "MX";
  // Callers refuse an MX content without host before planning; should one
  // come here all the same, it matches no listed host.
  const std::string wanted_content = is_mx ? mx.host.value_or(std::string()) : want.content;
  const std::string wanted_name = dns_name_key(want.name);
  Neighbours out;
  for (const ListedRecord& r : listing) {
    if (dns_name_key(r.name) != wanted_name) continue;
    const std::string type = record_type_key(r.type);
    if (type != want.type) {
      if (conflicts_in_type(type, want.type)) out.conflicting.push_back(&r);
      continue;
    }
    // An MX is the record of its host; its priority is compared like the
    // other fields, except that removing a record needs the exact one.
    const bool same = same_record_content(want.type, r.content, wanted_content) &&
                      (!is_mx || (mx.host && (wanted.present || r.priority == mx.priority)));
    (same ? out.matches : out.same_type).push_back(&r);
  }
  return out;
}

// The fields of `listed` that differ from the wanted record (RecordField
// bits), and the reason naming them.
unsigned differing_fields(const ListedRecord& listed, const WantedRecord& wanted,
                          const MxContent& mx, bool content_differs, std::string& reason) {
  const RecordFields& want = wanted.record;
  unsigned fields = 0;
  auto differs = [&](unsigned field, const char* text) {
    fields |= field;
    if (!reason.empty()) reason += ", ";
    reason += text;
  };
  if (content_differs) differs(kFieldContent, "content differs");
  if (!wanted.keep_proxied && is_proxiable_type(want.type) && listed.proxied != want.proxied) {
    differs(kFieldProxied, "proxied differs");
  }
  // The service keeps a proxied record's ttl at 1 ("automatic") whatever
  // was asked: comparing it would rewrite the record on every call.
  const bool proxied_after =
      wanted.keep_proxied ? listed.proxied && is_proxiable_type(want.type) : want.proxied;
  if (!wanted.keep_ttl && !proxied_after && listed.ttl != want.ttl) {
    differs(kFieldTtl, "ttl differs");
  }
  if (want.type == "MX" && listed.priority != mx.priority) {
    differs(kFieldPriority, "priority differs");
  }
  if (want.comment && listed.comment.value_or(std::string()) != *want.comment) {
    differs(kFieldComment, "comment differs");
  }
  return fields;
}

// Builds the plan's write list in batch order from the three kinds.
class PlanBuilder {
 public:
  explicit PlanBuilder(ReconcilePlan& plan) : plan_(plan) {}

  void remove(const ListedRecord& r, WriteStep step, const char* reason, const char* format) {
    deletes_.push_back({WriteKind::kDelete, &r, step, reason, 0});
    plan_.announcements.push_back({format, &r});
  }
  void remove_as_result(const ListedRecord& r) {
    result_ = {WriteKind::kDelete, deletes_.size()};
    remove(r, WriteStep::kWriteWanted, "not wanted", kTraceDelete);
  }
  void update(const ListedRecord& r, unsigned fields, std::string reason) {
    result_ = {WriteKind::kUpdate, updates_.size()};
    updates_.push_back(
        {WriteKind::kUpdate, &r, WriteStep::kWriteWanted, std::move(reason), fields});
    plan_.announcements.push_back({kTraceDiffers, &r});
  }
  void create(const char* reason) {
    result_ = {WriteKind::kCreate, creates_.size()};
    creates_.push_back({WriteKind::kCreate, nullptr, WriteStep::kWriteWanted, reason, 0});
  }

  void finish() {
    std::vector<PlannedWrite>& out = plan_.writes;
    out = std::move(deletes_);
    const size_t updates_at = out.size();
    out.insert(out.end(), updates_.begin(), updates_.end());
    const size_t creates_at = out.size();
    out.insert(out.end(), creates_.begin(), creates_.end());
    if (!result_) return;
    plan_.outcome = Outcome::kWriteResult;
    const size_t base = result_->kind == WriteKind::kDelete   ? 0
                        : result_->kind == WriteKind::kUpdate ? updates_at
                                                              : creates_at;
    plan_.result_index = base + result_->index;
  }

 private:
  struct Position {
    WriteKind kind;
    size_t index;
  };
  ReconcilePlan& plan_;
  std::vector<PlannedWrite> deletes_, updates_, creates_;
  std::optional<Position> result_;
};

}  // namespace

ReconcilePlan plan_reconciliation(const WantedRecord& wanted,
                                  const std::vector<ListedRecord>& listing, bool listing_empty) {
  const RecordFields& want = wanted.record;
  const bool is_mx = want.type == "MX";
  const bool is_txt = want.type == "TXT";
  MxContent mx;
  if (is_mx) mx = split_mx_content(want.content);
  const Neighbours found = sort_neighbours(wanted, mx, listing);
  ReconcilePlan plan;
  PlanBuilder build(plan);

  if (!wanted.present) {
    // The only writes: removing the records that are exactly the one named.
    if (found.matches.empty()) {
      plan.outcome = listing_empty ? Outcome::kRecordNotFound : Outcome::kNothingToDo;
      return plan;
    }
    build.remove_as_result(*found.matches.front());
    for (size_t i = 1; i < found.matches.size(); ++i) {
      build.remove(*found.matches[i], WriteStep::kWriteWanted, "duplicate", kTraceDelete);
    }
    build.finish();
    return plan;
  }

  if (!found.matches.empty()) {
    const ListedRecord& match = *found.matches.front();
    // Two listed spellings of the wanted record ("v=a" and "\"v=a\"",
    // "T.example.net" and "t.example.net."): one is enough.
    for (size_t i = 1; i < found.matches.size(); ++i) {
      build.remove(*found.matches[i], WriteStep::kRemoveStale, "duplicate", kTraceDiffers);
    }
    if (is_txt && wanted.replace) {
      for (const ListedRecord* r : found.same_type) {
        build.remove(*r, WriteStep::kRemoveStale, "stale TXT value", kTraceDiffers);
      }
    }
    std::string reason;
    const unsigned fields = differing_fields(match, wanted, mx, false, reason);
    if (fields != 0) build.update(match, fields, std::move(reason));
    build.finish();
    return plan;
  }

  if (!found.conflicting.empty()) {
    // Every record in the way goes, or the create fails on the one left.
    for (const ListedRecord* r : found.conflicting) {
      build.remove(*r, WriteStep::kClearConflict, "type conflict", kTraceTypeConflict);
    }
    build.create("type conflict");
  } else if (found.same_type.empty()) {
    build.create("missing");
  } else if (is_txt) {
    build.create("missing");
    if (wanted.replace) {
      // Removed only once the wanted value exists.
      for (const ListedRecord* r : found.same_type) {
        build.remove(*r, WriteStep::kRemoveStale, "stale TXT value", kTraceDiffers);
      }
    } else {
      plan.announcements.push_back({kTraceDiffers, found.same_type.front()});
    }
  } else if (is_mx && !wanted.replace) {
    // Kept beside the wanted record; an MX of the wanted priority is
    // reported instead of doubled.
    const ListedRecord& first = *found.same_type.front();
    plan.announcements.push_back({kTraceDiffers, &first});
    if (first.priority == mx.priority) {
      plan.outcome = Outcome::kMxFound;
      plan.mx_found = &first;
      return plan;
    }
    build.create("missing");
  } else {
    const ListedRecord& other = *found.same_type.front();
    std::string reason;
    const unsigned fields = differing_fields(other, wanted, mx, true, reason);
    build.update(other, fields, std::move(reason));
  }
  build.finish();
  return plan;
}

std::vector<const PlannedWrite*> one_at_a_time(const ReconcilePlan& plan) {
  std::vector<const PlannedWrite*> order;
  order.reserve(plan.writes.size());
  for (const WriteStep step :
       {WriteStep::kClearConflict, WriteStep::kWriteWanted, WriteStep::kRemoveStale}) {
    for (const PlannedWrite& write : plan.writes) {
      if (write.step == step) order.push_back(&write);
    }
  }
  return order;
}

std::vector<const ListedRecord*> records_to_restore(const std::vector<const ListedRecord*>& deleted,
                                                    const RecordFields& wanted,
                                                    const std::vector<ListedRecord>& listing) {
  const std::string name = dns_name_key(wanted.name);
  const std::string wanted_content =
      wanted.type == "MX" ? split_mx_content(wanted.content).host.value_or("") : wanted.content;
  auto listed_as = [&](std::string_view type, std::string_view content, const std::string* id) {
    for (const ListedRecord& r : listing) {
      if (id != nullptr && r.id == *id) return true;
      if (dns_name_key(r.name) == name && record_type_key(r.type) == type &&
          same_record_content(type, r.content, content)) {
        return true;
      }
    }
    return false;
  };
  std::vector<const ListedRecord*> out;
  if (listed_as(wanted.type, wanted_content, nullptr)) return out;
  for (const ListedRecord* r : deleted) {
    if (!listed_as(record_type_key(r->type), r->content, &r->id)) out.push_back(r);
  }
  return out;
}

}  // namespace nuv
