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
  kAnnounce,  // only the trace line
  kCreate,    // the wanted record
  kUpdate,    // the listed record, to the wanted record
  kDelete,    // the listed record
  kRestore,   // re-create the listed record as it was listed
};

// When a write goes ahead, given what the plan's earlier writes returned.
enum class WriteCondition {
  kAlways,
  // The write whose answer is the call's result succeeded (HTTP 2xx).
  kIfResultSucceeded,
  // The previous delete succeeded and the result write failed: put back
  // what was deleted.
  kIfDeletedAndResultFailed,
};

struct PlannedWrite {
  WriteKind kind;
  // The listed record the write acts on or, for a create, the one whose
  // difference caused it (nullptr: none).
  const ListedRecord* listed;
  // printf format traced before the write with the listed record's id,
  // name, type, content and proxied (nullptr: nothing traced).
  const char* announce;
  WriteCondition condition;
  // This write's answer is the call's result.
  bool is_result;
};

enum class Outcome {
  kUnchanged,       // the listing's own answer
  kWriteResult,     // the answer of the write marked is_result
  kRecordNotFound,  // "404", "Record not found: ..."
  kNothingToDo,     // "404", "Nothing to do, Record not found: ..."
  kMxFound,         // listing status, "Record found: ..." of mx_found
};

struct ReconcilePlan {
  std::vector<PlannedWrite> writes;
  Outcome outcome = Outcome::kUnchanged;
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

}  // namespace nuv
