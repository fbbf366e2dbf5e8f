#include "transport/env_proxy.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>

namespace nuv {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The first `bits` bits of two addresses of `size` bytes agree.
bool same_prefix(const unsigned char* a, const unsigned char* b, size_t size, unsigned bits) {
  const size_t whole = bits / 8;
  if (whole > size) return false;
  if (std::memcmp(a, b, whole) != 0) return false;
  const unsigned rest = bits % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

// An address entry ("192.0.2.0/24", "::1") against the host's address.
bool address_matches(int family, const unsigned char* host, std::string_view entry) {
  const size_t size = family == AF_INET ? 4 : 16;
  unsigned bits = static_cast<unsigned>(size * 8);
  const size_t slash = entry.find('/');
  if (slash != std::string_view::npos) {
    const std::string digits(entry.substr(slash + 1));
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || parsed > bits) return false;
    bits = static_cast<unsigned>(parsed);
    entry = entry.substr(0, slash);
  }
  if (entry.size() >= 2 && entry.front() == '[' && entry.back() == ']') {
    entry = entry.substr(1, entry.size() - 2);
  }
  const std::string text(entry);
  unsigned char address[16];
  if (inet_pton(family, text.c_str(), address) != 1) return false;
  return same_prefix(host, address, size, bits);
}

bool name_matches(std::string_view host, std::string_view entry) {
  if (!entry.empty() && entry.back() == '.') entry.remove_suffix(1);
  if (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
  if (entry.empty()) return false;
  if (entry.size() == host.size()) return equal_ignoring_case(entry, host);
  return entry.size() < host.size() && host[host.size() - entry.size() - 1] == '.' &&
         equal_ignoring_case(entry, host.substr(host.size() - entry.size()));
}

}  // namespace

UrlTarget url_target(std::string_view url) {
  UrlTarget target;
  size_t start = 0;
  const size_t separator = url.find("://");
  const size_t first_delimiter = url.find_first_of("/?#");
  if (separator != std::string_view::npos && separator <= first_delimiter) {
    target.scheme = ascii_lower(url.substr(0, separator));
    start = separator + 3;
  } else {
    target.scheme = "https";
  }
  std::string_view authority = url.substr(start);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  if (authority.starts_with('[')) {
    const size_t close = authority.find(']');
    target.host =
        std::string(authority.substr(0, close == std::string_view::npos ? close : close + 1));
  } else {
    target.host = std::string(authority.substr(0, authority.find(':')));
  }
  return target;
}

bool no_proxy_matches(std::string_view host, std::string_view no_proxy) {
  if (host.empty() || no_proxy.empty()) return false;
  if (no_proxy == "*") return true;
  int family = 0;
  unsigned char address[16];
  std::string_view name = host;
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  const std::string name_text(name);
  if (inet_pton(AF_INET, name_text.c_str(), address) == 1) {
    family = AF_INET;
  } else if (inet_pton(AF_INET6, name_text.c_str(), address) == 1) {
    family = AF_INET6;
  } else if (name.back() == '.') {
    name.remove_suffix(1);  // "example.com." is example.com
  }
  size_t pos = 0;
  while (pos < no_proxy.size()) {
    while (pos < no_proxy.size() && (is_blank(no_proxy[pos]) || no_proxy[pos] == ',')) ++pos;
    const size_t end = no_proxy.find_first_of(", \t", pos);
    const std::string_view entry =
        no_proxy.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    if (!entry.empty()) {
      const bool match =
          family != 0 ? address_matches(family, address, entry) : name_matches(name, entry);
      if (match) return true;
    }
    if (end == std::string_view::npos) break;
    pos = end;
  }
  return false;
}

const char* no_proxy_variable(std::string_view& name) {
  for (const char* candidate : {"no_proxy", "NO_PROXY"}) {
    if (const char* value = std::getenv(candidate)) {
      name = candidate;
      return value;
    }
  }
  return nullptr;
}

EnvironmentProxy environment_proxy(const UrlTarget& target) {
  // Names of static storage: the result's string_view outlives the call.
  const bool https = target.scheme != "http";
  const char* const candidates[] = {
      https ? "https_proxy" : "http_proxy",
      https ? "HTTPS_PROXY" : nullptr,
      "all_proxy",
      "ALL_PROXY",
  };
  for (const char* candidate : candidates) {
    if (candidate == nullptr) continue;
    if (const char* value = std::getenv(candidate)) return {value, candidate};
  }
  return {};
}

}  // namespace nuv
