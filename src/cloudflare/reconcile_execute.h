// Carrying a reconciliation plan out: one request for a single write, one
// atomic batch for several (split where the service's limit requires), the
// writes one at a time when the batch endpoint is not available.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cloudflare/reconcile.h"
#include "cloudflare/request.h"

namespace nuv {

// Writes per batch: the service's limit on the Free plan (the plan of a
// zone is not known here, and the other plans allow more).
inline constexpr size_t kMaxBatchWrites = 200;

// What carrying a plan out gave: the answer of the plan's result write, or
// the first failed request's answer (nothing is sent after it).
struct CarriedOut {
  std::optional<HttpResult> result;
  std::optional<HttpResult> failure;
  // The failed write (or batch) may have been applied all the same: its
  // answer was lost or 5xx, or an interrupt ended it.
  bool outcome_unknown = false;
  // Records deleted to make room for the wanted one that could not be put
  // back, and the answer that refused the last of them.
  std::vector<ListedRecord> unrestored;
  std::optional<HttpResult> restore_failure;
};

// Whether a failed write may have been applied: a 5xx, an answer lost
// after the request went out, or an interrupt during it.
bool write_outcome_unknown(const HttpResult& failure);

// Whether the service refused the batch route itself: not there, or not
// allowed to this token (permission #dns_records:batch). An error code
// decides when the answer has one (a 404 with 81044 is a missing record,
// not a missing route); without one, the status does.
bool batch_unavailable(const HttpResult& answer);

// Traces the plan's decisions, then sends its writes. A batch's answer
// stands for the result write as that write's own answer would: the
// batch's status, and its envelope with "result" holding that write's
// record ({"id": ...} for a delete). Records deleted to make room for the
// wanted one are re-created if a later request fails or the call ends any
// other way (a C++ exception included); after a write whose outcome is
// unknown, the name is listed again first and only what is gone comes back
// (nothing when the wanted record is there). A restore waits out the
// service's pauses (interruptibly); what it cannot put back is reported in
// `unrestored`.
CarriedOut carry_out(const ReconcilePlan& plan, const ApiContext& context,
                     const std::string& zone_id, const RecordFields& wanted);

}  // namespace nuv
