// Record names as a person writes them, resolved against the zone they
// belong to: "@" and "" are the apex, a name without the zone's suffix is
// relative to it ("home" is home.example.com), a trailing dot means fully
// qualified. The one resolver of every method that takes a record name.
#pragma once

#include <string>
#include <string_view>

namespace nuv {

struct ResolvedName {
  // The full name without its trailing dot, in the caller's spelling (the
  // zone's own spelling for the apex and for what a relative name gains).
  std::string name;
  // Empty when the name resolved; otherwise why it cannot be in the zone,
  // as the text of a ValueError.
  std::string refusal;
};

// Resolves `name` against `zone` (the zone's name, with or without a
// trailing dot). Names compare without ASCII case and with
// internationalised labels as punycode (see dns_name_key). Pure.
ResolvedName resolve_record_name(std::string_view name, std::string_view zone);

// Whether `name` (a full name) is the zone's apex or a name below it.
bool name_in_zone(std::string_view name, std::string_view zone);

}  // namespace nuv
