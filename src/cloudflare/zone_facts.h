// What a whole-zone sync needs to know of its zone beyond the id: its name
// (relative record names resolve against it) and its plan (the service's
// limits on a batch and on a comment depend on it), read from the zone's
// details or from the look-up's answer.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace nuv {

enum class ZonePlan { kUnknown, kFree, kPaid };

struct ZoneFacts {
  std::optional<std::string> name;
  ZonePlan plan = ZonePlan::kUnknown;
};

// From an answer whose "result" is the zone (GET /zones/{id}) or a list of
// zones, of which the one named `domain` counts (a look-up). A plan is paid
// unless its "legacy_id" (else its "name") says free. Nothing is known from
// text that is not such an answer. Pure.
ZoneFacts read_zone_facts(std::string_view body, std::string_view domain);

// Records per batch request: 200 on the Free plan (and when the plan is not
// known), 3,500 on the others.
size_t batch_limit_of(ZonePlan plan);
// Characters of a record's comment: 100 on the Free plan (and when not
// known), 500 on the others.
size_t comment_limit_of(ZonePlan plan);

}  // namespace nuv
