// Carrying a sync plan out: batches sized to the zone's plan (stepping down
// when the service says a batch is too large), paced by the service's
// Ratelimit header, each batch all or nothing. A refused batch is halved,
// each half sent as a batch of its own, until the refused write (or the
// writes of a name that must go together) is found; nothing is retried one
// record at a time.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cloudflare/request.h"
#include "cloudflare/sync_plan.h"

namespace nuv {

struct SyncOutcome {
  // What the service applied, in the order it did.
  std::vector<const SyncWrite*> applied;
  size_t batches = 0;  // batch requests sent
  size_t limit = 0;    // writes per batch at the end (after any step down)
  // The answer that ended the writes (none: all were applied).
  std::optional<HttpResult> failure;
  // The failed batch may have been applied (a 5xx, or a lost answer).
  bool outcome_unknown = false;
  // The service refuses the batch route (unknown route, or a token without
  // the batch permission).
  bool unavailable = false;
  // The writes the service refused, found by halving (empty otherwise).
  std::vector<const SyncWrite*> refused;
};

// The JSON body of one batch request of `writes` (already in the service's
// order). `owner_marker`: the comment of a record created without one.
// Throws std::bad_alloc when memory runs out.
std::string sync_batch_body(const std::vector<const SyncWrite*>& writes,
                            const std::optional<std::string>& owner_marker);

// Whether the service refused a batch for holding too many records: HTTP
// 413, or the code 81069 (the stand-in's; the service does not document its
// own), or an error text saying so.
bool batch_too_large(const HttpResult& answer);

// Sends the plan's writes in batches of at most `limit`. Stops at the
// first failure; an interrupt (exception set) stops it too, as a failure
// with `interrupted`.
SyncOutcome carry_out_sync(const SyncPlan& plan, const ApiContext& context,
                           const std::string& zone_id, size_t limit,
                           const std::optional<std::string>& owner_marker);

}  // namespace nuv
