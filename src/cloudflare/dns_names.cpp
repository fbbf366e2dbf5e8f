#include "cloudflare/dns_names.h"

namespace nuv {

std::string dns_name_key(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  std::string key(name);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

bool same_dns_name(std::string_view a, std::string_view b) {
  return dns_name_key(a) == dns_name_key(b);
}

}  // namespace nuv
