// Bringing one DNS record into a wanted state. The decisions are a pure
// function from (wanted record, listing) to a plan; a thin layer carries the
// plan out, so the rules read like the table they come from and can be
// tested without a network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cloudflare/records.h"

namespace nuv {

struct WantedRecord {
  RecordFields record;  // record.proxied is the effective flag
  bool present = true;
  bool replace = true;
};

// One element of the listing's "result" array.
struct ListedRecord {
  std::string id;
  std::string name;
  std::string type;
  std::string content;
  bool proxied = false;
  int32_t priority = 0;
  uint32_t ttl = 1;
};

// What the listing's answer holds: the records that carry a text id, name,
// type and content, and how many elements the service listed in all.
struct Listing {
  std::vector<ListedRecord> records;
  size_t element_count = 0;
};

// nullopt when the answer is not JSON or has no "result" array.
std::optional<Listing> parse_listing(const std::string& body);

enum class WriteKind {
  kCreate,  // the wanted record
  kUpdate,  // the listed record, to the wanted record
  kDelete,  // the listed record
};

// When a write goes out if the writes are sent one at a time. Each step
// waits for the previous one to succeed, so that the name is never left
// without a record: records in the way of the wanted one go first (and come
// back if what follows fails), then the wanted record is written, then what
// it makes stale is removed.
enum class WriteStep {
  kClearConflict,  // a delete that the create needs; restored on failure
  kWriteWanted,    // the create or update of the wanted record
  kRemoveStale,    // a delete once the wanted record is in place
};

struct PlannedWrite {
  WriteKind kind;
  // The listed record the write acts on (nullptr for a create).
  const ListedRecord* listed;
  WriteStep step;
  // Why, in a few words ("missing", "type conflict", "stale TXT value").
  const char* reason;
};

// A trace line of the decision: a printf format filled with the listed
// record's id, name, type, content and proxied.
struct Announcement {
  const char* format;
  const ListedRecord* listed;
};

enum class Outcome {
  kUnchanged,       // the listing's own answer
  kWriteResult,     // the answer of the write at result_index
  kRecordNotFound,  // "404", "Record not found: ..."
  kNothingToDo,     // "404", "Nothing to do, Record not found: ..."
  kMxFound,         // listing status, "Record found: ..." of mx_found
};

struct ReconcilePlan {
  // In the order the service applies them in one batch: deletes, then
  // updates, then creates.
  std::vector<PlannedWrite> writes;
  std::vector<Announcement> announcements;
  Outcome outcome = Outcome::kUnchanged;
  size_t result_index = 0;  // with kWriteResult
  const ListedRecord* mx_found = nullptr;
};

inline constexpr char kTraceTypeConflict[] = "record found: %s %s, %s, %s, %d\n";
inline constexpr char kTraceDelete[] = "record found delete: %s %s, %s, %s, %d\n";
inline constexpr char kTraceDiffers[] =
    "record found content or proxy not the same: %s %s, %s, %s, %d\n";

// The plan for `wanted` given the records listed under its name (in the
// service's order). `listing_empty` tells whether the service listed no
// element at all: elements skipped for missing fields still make the
// listing non-empty ("Nothing to do, ..."). The plan points into `listing`.
ReconcilePlan plan_reconciliation(const WantedRecord& wanted,
                                  const std::vector<ListedRecord>& listing, bool listing_empty);

// The plan's writes in the order they go out one at a time: by step,
// keeping the plan's order within a step.
std::vector<const PlannedWrite*> one_at_a_time(const ReconcilePlan& plan);

}  // namespace nuv
