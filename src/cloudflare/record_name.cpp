#include "cloudflare/record_name.h"

#include "cloudflare/record_match.h"

namespace nuv {

namespace {

std::string_view without_final_dot(std::string_view text) {
  if (!text.empty() && text.back() == '.') text.remove_suffix(1);
  return text;
}

// Whether `name` is the zone or a name below it, as the service compares.
bool in_zone(std::string_view name, std::string_view zone) {
  const std::string name_key = dns_name_key(name);
  const std::string zone_key = dns_name_key(zone);
  if (name_key == zone_key) return true;
  return name_key.size() > zone_key.size() + 1 && name_key.ends_with(zone_key) &&
         name_key[name_key.size() - zone_key.size() - 1] == '.';
}

ResolvedName resolved(std::string name) {
  return ResolvedName{NameResolution::kResolved, std::move(name), {}};
}

ResolvedName refused(NameResolution status, std::string error) {
  return ResolvedName{status, {}, std::move(error)};
}

std::string quoted(std::string_view text) {
  std::string out = "'";
  out.append(text).append("'");
  return out;
}

}  // namespace

ResolvedName resolve_record_name(std::string_view name, std::string_view zone_name) {
  const std::string_view zone = without_final_dot(zone_name);
  const bool apex = name.empty() || name == "@";
  const bool qualified = !apex && name.back() == '.';
  const std::string_view bare = qualified ? without_final_dot(name) : name;

  if (zone.empty()) {
    if (!apex && (qualified || bare.find('.') != std::string_view::npos)) {
      if (bare.empty()) {
        return refused(NameResolution::kOutsideZone,
                       "record name '.' is the DNS root, which no zone holds");
      }
      return resolved(std::string(bare));
    }
    return refused(NameResolution::kZoneUnknown,
                   "record name " + quoted(name) +
                       " is relative to the zone, whose name is not known: give the fully "
                       "qualified name");
  }
  if (apex) return resolved(std::string(zone));
  if (in_zone(bare, zone)) return resolved(std::string(bare));
  if (qualified) {
    return refused(NameResolution::kOutsideZone, "record name " + quoted(name) +
                                                     " is not in the zone " + std::string(zone) +
                                                     " (a final dot makes a name fully qualified)");
  }
  std::string full(bare);
  full.append(".").append(zone);
  return resolved(std::move(full));
}

}  // namespace nuv
