#include "cloudflare/sync_plan.h"

#include <algorithm>
#include <map>
#include <string_view>

#include "cloudflare/record_match.h"
#include "cloudflare/records.h"

namespace nuv {

namespace {

bool contains(const std::vector<std::string>& items, std::string_view item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

bool is_address(std::string_view type) { return type == "A" || type == "AAAA"; }

// Tags are a set to the service: their order is not a difference.
bool same_tags(std::vector<std::string> listed, std::vector<std::string> wanted) {
  std::sort(listed.begin(), listed.end());
  std::sort(wanted.begin(), wanted.end());
  return listed == wanted;
}

// Why `other` (not ours) keeps `wanted` from being written, or nullptr:
// the identical record, or a type that may not share its name.
const char* in_the_way(const SyncWanted& wanted, const ListedRecord& other, bool apex) {
  const std::string type = record_type_key(other.type);
  if (type == wanted.type && is_wanted_record(other, wanted)) {
    return "the same record exists outside the scope";
  }
  if ((wanted.type == "CNAME" && (is_address(type) || type == "CNAME")) ||
      (is_address(wanted.type) && type == "CNAME")) {
    return "a record of this name outside the scope excludes it (CNAME)";
  }
  if (!apex && (wanted.type == "NS") != (type == "NS")) {
    return "a record of this name outside the scope excludes it (NS)";
  }
  return nullptr;
}

// The fields of `listed` that differ from `wanted` (SyncField bits).
unsigned sync_differences(const ListedRecord& listed, const SyncWanted& wanted,
                          bool content_differs) {
  unsigned fields = !content_differs ? 0u : wanted.data ? kSyncData : kSyncContent;
  const bool proxiable = is_proxiable_type(wanted.type);
  if (proxiable && wanted.proxied && *wanted.proxied != listed.proxied) fields |= kSyncProxied;
  // The service keeps a proxied record's ttl at 1 ("automatic") whatever
  // was asked: comparing it would rewrite the record on every sync.
  const bool proxied_after = proxiable && wanted.proxied.value_or(listed.proxied);
  if (wanted.ttl && !proxied_after && listed.ttl != *wanted.ttl) fields |= kSyncTtl;
  if (wanted.priority && has_priority_field(wanted.type) && listed.priority != *wanted.priority) {
    fields |= kSyncPriority;
  }
  if (wanted.comment && listed.comment.value_or(std::string()) != *wanted.comment) {
    fields |= kSyncComment;
  }
  if (wanted.tags && !same_tags(listed.tags, *wanted.tags)) fields |= kSyncTags;
  return fields;
}

// What one name holds and wants.
struct NameGroup {
  std::vector<const ListedRecord*> ours;
  std::vector<const ListedRecord*> others;
  std::vector<const SyncWanted*> wanted;
};

class NamePlanner {
 public:
  NamePlanner(SyncPlan& plan, bool apex, size_t group) : plan_(plan), apex_(apex), group_(group) {}

  void plan(const NameGroup& name) {
    std::vector<const SyncWanted*> writable;
    for (const SyncWanted* wanted : name.wanted) {
      const ListedRecord* blocking = nullptr;
      const char* why = nullptr;
      for (const ListedRecord* other : name.others) {
        if ((why = in_the_way(*wanted, *other, apex_)) != nullptr) {
          blocking = other;
          break;
        }
      }
      if (why != nullptr) {
        plan_.skipped.push_back(
            {SyncAction::kSkip, blocking, wanted, 0, why, group_, plan_.skipped.size()});
      } else {
        writable.push_back(wanted);
      }
    }
    std::vector<std::string> types;
    for (const ListedRecord* r : name.ours) types.push_back(record_type_key(r->type));
    for (const SyncWanted* w : writable) types.push_back(w->type);
    std::sort(types.begin(), types.end());
    types.erase(std::unique(types.begin(), types.end()), types.end());
    for (const std::string& type : types) plan_type(type, name.ours, writable);
    finish();
  }

 private:
  bool is_protected(std::string_view type) const {
    // The zone's own name servers and SOA are the service's, never ours.
    return apex_ && (type == "NS" || type == "SOA");
  }

  void plan_type(const std::string& type, const std::vector<const ListedRecord*>& ours,
                 const std::vector<const SyncWanted*>& writable) {
    std::vector<const ListedRecord*> listed;
    for (const ListedRecord* r : ours) {
      if (record_type_key(r->type) == type) listed.push_back(r);
    }
    std::vector<bool> matched(listed.size(), false);
    std::vector<const SyncWanted*> unmatched;
    for (const SyncWanted* w : writable) {
      if (w->type != type) continue;
      bool found = false;
      for (size_t i = 0; i < listed.size() && !found; ++i) {
        if (matched[i] || !is_wanted_record(*listed[i], *w)) continue;
        matched[i] = found = true;
        if (is_protected(type)) continue;
        const unsigned fields = sync_differences(*listed[i], *w, false);
        if (fields != 0) updates_.push_back(write(SyncAction::kUpdate, listed[i], w, fields));
      }
      if (!found) unmatched.push_back(w);
    }
    // What is left on both sides is paired into updates (the record keeps
    // its id, comment and tags); the rest is created or deleted.
    size_t next = 0;
    for (const SyncWanted* w : unmatched) {
      while (next < listed.size() && (matched[next] || is_protected(type))) ++next;
      if (next < listed.size()) {
        matched[next] = true;
        const ListedRecord* r = listed[next];
        updates_.push_back(write(SyncAction::kUpdate, r, w, sync_differences(*r, *w, true)));
      } else {
        creates_.push_back(write(SyncAction::kCreate, nullptr, w, 0));
      }
    }
    for (size_t i = 0; i < listed.size(); ++i) {
      if (!matched[i] && !is_protected(type)) {
        deletes_.push_back(write(SyncAction::kDelete, listed[i], nullptr, 0));
      }
    }
  }

  SyncWrite write(SyncAction action, const ListedRecord* listed, const SyncWanted* wanted,
                  unsigned fields) const {
    return SyncWrite{action, listed, wanted, fields, {}, group_, 0};
  }

  void finish() {
    // A name that loses records and gains others is written in one batch,
    // never split by the search for a refused record: the name is never
    // left empty, and a CNAME replacing an A needs the A gone first.
    const bool together = !deletes_.empty() && !(updates_.empty() && creates_.empty());
    const size_t first_unit = plan_.writes.size();
    plan_.deletes += deletes_.size();
    plan_.updates += updates_.size();
    for (auto* part : {&deletes_, &updates_, &creates_}) {
      for (SyncWrite& w : *part) {
        w.unit = together ? first_unit : plan_.writes.size();
        plan_.writes.push_back(std::move(w));
      }
    }
  }

  SyncPlan& plan_;
  bool apex_;
  size_t group_;
  std::vector<SyncWrite> deletes_, updates_, creates_;
};

}  // namespace

bool is_wanted_record(const ListedRecord& listed, const SyncWanted& wanted) {
  if (wanted.data && listed.data) return same_record_data(wanted.type, *listed.data, *wanted.data);
  return same_record_content(wanted.type, listed.content, wanted.content);
}

bool same_wanted_record(const SyncWanted& a, const SyncWanted& b) {
  if (a.data && b.data) return same_record_data(a.type, *a.data, *b.data);
  return same_record_content(a.type, a.content, b.content);
}

bool has_priority_field(std::string_view type) { return type == "MX" || type == "URI"; }

bool comment_carries(std::string_view comment, std::string_view marker) {
  if (marker.empty()) return false;
  size_t at = 0;
  while ((at = comment.find(marker, at)) != std::string_view::npos) {
    const size_t end = at + marker.size();
    const bool starts = at == 0 || comment[at - 1] == ' ' || comment[at - 1] == '\t';
    const bool ends = end == comment.size() || comment[end] == ' ' || comment[end] == '\t';
    if (starts && ends) return true;
    at = end;
  }
  return false;
}

bool in_sync_scope(const ListedRecord& record, const SyncScope& scope) {
  if (scope.names && !contains(*scope.names, dns_name_key(record.name))) return false;
  if (scope.types && !contains(*scope.types, record_type_key(record.type))) return false;
  const std::string comment = record.comment.value_or(std::string());
  if (scope.owner_marker && !comment_carries(comment, *scope.owner_marker)) return false;
  if (scope.owned_only && !std::regex_search(comment, *scope.owned_only)) return false;
  return true;
}

SyncPlan plan_sync(const std::vector<SyncWanted>& wanted, const std::vector<ListedRecord>& listing,
                   const SyncScope& scope) {
  const std::string zone_key = dns_name_key(scope.zone_name);
  std::map<std::string, NameGroup> names;
  SyncPlan plan;
  for (const ListedRecord& r : listing) {
    NameGroup& group = names[dns_name_key(r.name)];
    if (in_sync_scope(r, scope)) {
      group.ours.push_back(&r);
      const std::string type = record_type_key(r.type);
      if (!(dns_name_key(r.name) == zone_key && (type == "NS" || type == "SOA"))) ++plan.existing;
    } else {
      group.others.push_back(&r);
    }
  }
  for (const SyncWanted& w : wanted) {
    const std::string key = dns_name_key(w.name);
    if (scope.names && !contains(*scope.names, key)) continue;
    if (scope.types && !contains(*scope.types, w.type)) continue;
    names[key].wanted.push_back(&w);
  }
  size_t group = 0;
  for (const auto& [key, name] : names) {
    if (name.ours.empty() && name.wanted.empty()) continue;
    const size_t before = plan.writes.size();
    NamePlanner(plan, key == zone_key, group).plan(name);
    if (plan.writes.size() != before) ++group;
  }
  return plan;
}

std::vector<std::vector<const SyncWrite*>> batches_of(const std::vector<const SyncWrite*>& writes,
                                                      size_t limit) {
  limit = std::max<size_t>(limit, 1);
  std::vector<std::vector<const SyncWrite*>> batches;
  std::vector<const SyncWrite*> current;
  auto flush = [&](std::vector<const SyncWrite*>& batch) {
    if (batch.empty()) return;
    // The service's order within one batch.
    std::stable_partition(batch.begin(), batch.end(),
                          [](const SyncWrite* w) { return w->action == SyncAction::kDelete; });
    std::stable_partition(batch.begin(), batch.end(),
                          [](const SyncWrite* w) { return w->action != SyncAction::kCreate; });
    batches.push_back(std::move(batch));
    batch.clear();
  };
  size_t at = 0;
  while (at < writes.size()) {
    size_t end = at + 1;
    while (end < writes.size() && writes[end]->name_group == writes[at]->name_group) ++end;
    std::vector<const SyncWrite*> name(writes.begin() + static_cast<std::ptrdiff_t>(at),
                                       writes.begin() + static_cast<std::ptrdiff_t>(end));
    if (name.size() > limit) {
      // Too many for one batch: records are added (and changed) before any
      // of the name's records is removed.
      flush(current);
      std::stable_partition(name.begin(), name.end(),
                            [](const SyncWrite* w) { return w->action != SyncAction::kDelete; });
      for (size_t from = 0; from < name.size(); from += limit) {
        std::vector<const SyncWrite*> part(
            name.begin() + static_cast<std::ptrdiff_t>(from),
            name.begin() + static_cast<std::ptrdiff_t>(std::min(name.size(), from + limit)));
        flush(part);
      }
    } else {
      if (current.size() + name.size() > limit) flush(current);
      current.insert(current.end(), name.begin(), name.end());
    }
    at = end;
  }
  flush(current);
  return batches;
}

std::vector<const SyncWrite*> send_order(const SyncPlan& plan, size_t limit) {
  std::vector<const SyncWrite*> writes;
  writes.reserve(plan.writes.size());
  for (const SyncWrite& w : plan.writes) writes.push_back(&w);
  std::vector<const SyncWrite*> order;
  order.reserve(writes.size());
  for (const auto& batch : batches_of(writes, limit)) {
    order.insert(order.end(), batch.begin(), batch.end());
  }
  return order;
}

}  // namespace nuv
