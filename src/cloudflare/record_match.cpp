#include "cloudflare/record_match.h"

#include <arpa/inet.h>
#include <idn2.h>

#include <cstdlib>
#include <optional>

namespace nuv {

namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool is_ascii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// One label in punycode, or nullopt when libidn2 refuses it. Labels are
// converted one by one so that an ASCII label the IDNA rules would refuse
// ("_dmarc", "*") never spoils its neighbours.
std::optional<std::string> punycode_label(std::string_view label) {
  const std::string text(label);
  char* converted = nullptr;
  if (idn2_to_ascii_8z(text.c_str(), &converted, IDN2_NONTRANSITIONAL | IDN2_NFC_INPUT) !=
      IDN2_OK) {
    return std::nullopt;
  }
  std::string out(converted);
  idn2_free(converted);
  return out;
}

// The address bytes of an A (IPv4) or AAAA (IPv6) content.
std::optional<std::string> address_bytes(int family, std::string_view text) {
  const std::string copy(text);
  unsigned char bytes[16];
  if (inet_pton(family, copy.c_str(), bytes) != 1) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(bytes), family == AF_INET ? 4 : 16);
}

// A TXT value in RFC 1035's quoted form (one string in double quotes, with
// backslash escapes) as its text; any other value as it is.
std::string txt_text(std::string_view value) {
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') return std::string(value);
  std::string out;
  for (size_t i = 1; i + 1 < value.size(); ++i) {
    char c = value[i];
    if (c == '"') return std::string(value);  // several strings: compare as written
    if (c == '\\' && i + 2 < value.size()) c = value[++i];
    out += c;
  }
  return out;
}

}  // namespace

std::string dns_name_key(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  std::string key;
  key.reserve(name.size());
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('.', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view label = name.substr(start, end - start);
    std::optional<std::string> converted;
    if (!is_ascii(label)) converted = punycode_label(label);
    for (char c : converted ? std::string_view(*converted) : label) key += ascii_lower(c);
    if (end == name.size()) break;
    key += '.';
    start = end + 1;
  }
  return key;
}

bool same_dns_name(std::string_view a, std::string_view b) {
  return dns_name_key(a) == dns_name_key(b);
}

bool same_record_type(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

std::string record_type_key(std::string_view type) {
  std::string key(type);
  for (char& c : key) c = ascii_upper(c);
  return key;
}

bool same_record_content(std::string_view type, std::string_view listed, std::string_view wanted) {
  if (type == "A" || type == "AAAA") {
    const int family = type == "A" ? AF_INET : AF_INET6;
    const std::optional<std::string> listed_bytes = address_bytes(family, listed);
    const std::optional<std::string> wanted_bytes = address_bytes(family, wanted);
    if (listed_bytes && wanted_bytes) return *listed_bytes == *wanted_bytes;
    return listed == wanted;
  }
  if (type == "CNAME" || type == "MX") return same_dns_name(listed, wanted);
  if (type == "TXT") return txt_text(listed) == txt_text(wanted);
  return listed == wanted;
}

}  // namespace nuv
