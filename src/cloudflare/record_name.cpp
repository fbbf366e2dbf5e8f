#include "cloudflare/record_name.h"

#include "cloudflare/record_match.h"

namespace nuv {

namespace {

std::string_view without_final_dot(std::string_view text) {
  if (!text.empty() && text.back() == '.') text.remove_suffix(1);
  return text;
}

}  // namespace

bool name_in_zone(std::string_view name, std::string_view zone) {
  const std::string key = dns_name_key(name);
  const std::string zone_key = dns_name_key(zone);
  if (key == zone_key) return true;
  return key.size() > zone_key.size() + 1 && key.ends_with(zone_key) &&
         key[key.size() - zone_key.size() - 1] == '.';
}

ResolvedName resolve_record_name(std::string_view name, std::string_view zone) {
  const std::string_view zone_name = without_final_dot(zone);
  if (name.empty() || name == "@") return {std::string(zone_name), {}};
  const bool fully_qualified = name.back() == '.';
  const std::string_view bare = without_final_dot(name);
  if (bare.empty()) return {{}, "a record name is not the root '.'"};
  if (name_in_zone(bare, zone_name)) return {std::string(bare), {}};
  if (fully_qualified) {
    return {{},
            "record name " + std::string(name) + " is outside the zone " + std::string(zone_name)};
  }
  std::string full(bare);
  full += '.';
  full += zone_name;
  return {std::move(full), {}};
}

}  // namespace nuv
