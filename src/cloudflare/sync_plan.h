// Bringing a whole zone (or the part of it that is ours) into a wanted
// state. The decisions are a pure function from (wanted records, the zone's
// listing, the scope) to a plan; sync_execute carries it out in batches,
// and dns_sync_plan returns the same plan, so what a user previews is what
// runs. Matching is the one-name reconciliation's (record_match).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "cloudflare/reconcile.h"

namespace nuv {

// The fields a sync compares and writes (bits): an update is a PATCH of
// the differing ones only, so what the wanted state does not name stays.
enum SyncField : unsigned {
  kSyncContent = 1u << 0,
  kSyncTtl = 1u << 1,
  kSyncProxied = 1u << 2,
  kSyncPriority = 1u << 3,
  kSyncComment = 1u << 4,
  kSyncTags = 1u << 5,
  kSyncData = 1u << 6,  // the data of a record the service describes with data
};

// One wanted record; an optional field left out keeps what the existing
// record has (and is the service's default on create).
struct SyncWanted {
  std::string type;  // upper case
  std::string name;  // the full name, resolved against the zone
  // For MX: the host alone. With `data`, the content the service makes of
  // it (shown, never sent).
  std::string content;
  // The fields of a type the service describes with data (record_data),
  // all of them; such a record is compared and written by its data.
  std::optional<RecordData> data;
  std::optional<uint32_t> ttl;
  std::optional<bool> proxied;
  std::optional<int32_t> priority;
  std::optional<std::string> comment;  // the owner marker included
  std::optional<std::vector<std::string>> tags;
};

// Which of the zone's records are ours to change or delete: every test
// given must hold.
struct SyncScope {
  std::string zone_name;
  std::optional<std::vector<std::string>> names;  // name keys (dns_name_key)
  std::optional<std::vector<std::string>> types;  // upper case
  // "owner=TEXT": a word of the comments of ours, and of what we create.
  std::optional<std::string> owner_marker;
  std::optional<std::regex> owned_only;  // searched in the comment
};

enum class SyncAction { kCreate, kUpdate, kDelete, kSkip };

struct SyncWrite {
  SyncAction action;
  // The existing record written or deleted; for a skip, the one in the way.
  const ListedRecord* listed = nullptr;
  // The wanted record created, or that an update brings about, or skipped.
  const SyncWanted* wanted = nullptr;
  unsigned fields = 0;  // an update's differing SyncField bits
  std::string reason;   // a skip's
  // The writes of one name stay together: this name's index in the plan.
  size_t name_group = 0;
  // Writes that must stay in one batch (a name losing records to others:
  // the deletes and what replaces them) share a unit; others have their own.
  size_t unit = 0;
};

struct SyncPlan {
  // Grouped by name (in name order); within a name deletes, updates, then
  // creates, as the service applies one batch.
  std::vector<SyncWrite> writes;
  std::vector<SyncWrite> skipped;
  size_t existing = 0;  // records in scope (never the apex NS and SOA)
  size_t updates = 0;
  size_t deletes = 0;
};

// Whether a listed record is the wanted one of the same type: by data when
// the wanted record has data and the listing shows the record's, else by
// content (same_record_content).
bool is_wanted_record(const ListedRecord& listed, const SyncWanted& wanted);

// Whether two wanted records of one name and type are the same record.
bool same_wanted_record(const SyncWanted& a, const SyncWanted& b);

// Whether an existing record is ours under `scope`.
bool in_sync_scope(const ListedRecord& record, const SyncScope& scope);

// Whether the comment carries `marker` as a whole blank-separated word.
bool comment_carries(std::string_view comment, std::string_view marker);

// The plan; it points into `wanted` and `listing`. Wanted records outside
// the names or types of the scope are no part of it.
SyncPlan plan_sync(const std::vector<SyncWanted>& wanted, const std::vector<ListedRecord>& listing,
                   const SyncScope& scope);

// The service's default fields of a record a sync creates.
inline constexpr uint32_t kDefaultTtl = 1;
inline constexpr int32_t kDefaultPriority = 10;
// Types whose priority is a field of the record itself.
bool has_priority_field(std::string_view type);

// The writes split into batches of at most `limit` (at least 1): whole
// names, in plan order, a batch in the service's order (deletes, updates,
// creates). A name with more writes than fit is split, what adds records
// before what removes them.
std::vector<std::vector<const SyncWrite*>> batches_of(const std::vector<const SyncWrite*>& writes,
                                                      size_t limit);

// The plan's writes in the order they are sent with batches of `limit`.
std::vector<const SyncWrite*> send_order(const SyncPlan& plan, size_t limit);

}  // namespace nuv
