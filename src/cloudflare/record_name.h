// Record names as people write them, resolved against the zone they live in:
// the dashboard's reading ("@" is the apex, "home" is home.<zone>) with the
// zone-file rule that a final dot makes a name fully qualified. Pure: the
// callers decide where the zone's name comes from and what a refusal raises.
#pragma once

#include <string>
#include <string_view>

namespace nuv {

enum class NameResolution {
  kResolved,     // `name` holds the fully qualified name
  kZoneUnknown,  // the name is relative (or the apex) and no zone name was given
  kOutsideZone,  // a fully qualified name that is not the zone or under it
};

struct ResolvedName {
  NameResolution status = NameResolution::kResolved;
  // With kResolved: the name without a final dot, in the caller's spelling
  // (a relative name gets the zone's name appended as the zone was given).
  std::string name;
  // Otherwise: why, in one sentence naming the name (and the zone).
  std::string error;
};

// Resolves `name` against the zone named `zone_name` (one final dot allowed;
// empty: the zone's name is not known):
// - "" and "@" are the apex;
// - a name with a final dot is fully qualified: it must be the zone or under
//   it (kOutsideZone otherwise); "." is never in a zone;
// - a name that is the zone or ends in "." + the zone (compared as the
//   service stores names: without ASCII case, IDNA labels as punycode) is
//   taken as it is;
// - any other name is relative to the zone: "home" is "home.<zone>",
//   "vpn.home" is "vpn.home.<zone>".
// Without a zone name, a name with a final dot or a dot inside is taken as
// fully qualified (it cannot be checked) and the others are kZoneUnknown.
ResolvedName resolve_record_name(std::string_view name, std::string_view zone_name);

}  // namespace nuv
