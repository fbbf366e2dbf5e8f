// Bringing one DNS record into a wanted state. The decisions are a pure
// function from (wanted record, listing) to a plan; a thin layer carries the
// plan out (reconcile_execute), and dns_plan shows the same plan without
// carrying it out, so what a user previews is what runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cloudflare/record_data.h"
#include "cloudflare/records.h"

namespace nuv {

struct WantedRecord {
  // record.type is upper case, record.proxied the effective flag.
  RecordFields record;
  bool present = true;
  bool replace = true;
  // An existing record keeps its own value of these (neither compared nor
  // sent); a created one gets record.proxied and record.ttl, the defaults.
  bool keep_proxied = false;
  bool keep_ttl = false;
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
  std::optional<std::string> comment;  // absent or null: none
  std::vector<std::string> tags;
  // The members of "data" that are texts or numbers (CAA, SRV, ...).
  std::optional<RecordData> data;
};

// What one page of the listing holds: the records that carry a text id,
// name, type and content, how many elements the service listed in all, and
// how many pages the service says there are (1 when it does not say).
struct Listing {
  std::vector<ListedRecord> records;
  size_t element_count = 0;
  size_t total_pages = 1;
};

// nullopt when the answer is not JSON or has no "result" array. Reads only
// the members it needs, in one pass over the text.
std::optional<Listing> parse_listing(const std::string& body);

enum class WriteKind {
  kCreate,  // the wanted record
  kUpdate,  // the listed record: PATCH of the fields that differ
  kDelete,  // the listed record
};

// When a write goes out if the writes are sent one at a time (or split into
// several batches). Each step waits for the previous one to succeed, so the
// name is never left without a record: records in the way of the wanted one
// go first (and come back if what follows fails), then the wanted record is
// written, then what it makes stale is removed.
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
  // Why, in a few words ("missing", "ttl differs", "stale TXT value").
  std::string reason;
  // For an update: the RecordField bits that differ (the PATCH's members).
  unsigned fields = 0;
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
//
// Matching: names without ASCII case, one trailing dot and with IDNA
// labels in punycode; types without case; contents by type (see
// same_record_content); an MX is the record of its host, except that
// removing one (present=False) needs its priority too. Then proxied (for
// the proxiable types), the ttl (unless the record will be proxied: the
// service keeps proxied records at "automatic"), the MX priority and, when
// one is wanted, the comment are compared (proxied and ttl not when they
// are kept), and an update sends only what differs.
ReconcilePlan plan_reconciliation(const WantedRecord& wanted,
                                  const std::vector<ListedRecord>& listing, bool listing_empty);

// The plan's writes in the order they go out one at a time: by step,
// keeping the plan's order within a step.
std::vector<const PlannedWrite*> one_at_a_time(const ReconcilePlan& plan);

// Which of the records deleted (or perhaps deleted) to make room for
// `wanted` must be re-created, given the name's listing read after a write
// whose outcome is unknown: none when the wanted record is listed (the swap
// went through, and they could not live beside it), else each one that is
// listed neither by its id nor by its type and content.
std::vector<const ListedRecord*> records_to_restore(const std::vector<const ListedRecord*>& deleted,
                                                    const RecordFields& wanted,
                                                    const std::vector<ListedRecord>& listing);

}  // namespace nuv
