#include "transport/address_gate.h"

#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace nuv {

namespace {

enum class Verdict : uint8_t {
  kRefused,  // never this host's public address
  kPrivate,  // admitted only when private addresses are allowed
  kGlobal,   // a globally reachable block inside a refused one
};

struct Range {
  const char* prefix;
  unsigned bits;
  Verdict verdict;
  const char* what;  // "<address> is <what>"
};

// From the IANA IPv4 and IPv6 special-purpose address registries, most
// specific first: the first range that holds an address decides.
constexpr Range kIpv4Ranges[] = {
    {"0.0.0.0", 32, Verdict::kRefused, "the unspecified address"},
    {"0.0.0.0", 8, Verdict::kRefused, "in 0.0.0.0/8 (\"this network\")"},
    {"127.0.0.0", 8, Verdict::kRefused, "a loopback address"},
    {"169.254.0.0", 16, Verdict::kRefused, "a link-local address"},
    {"224.0.0.0", 4, Verdict::kRefused, "a multicast address"},
    {"255.255.255.255", 32, Verdict::kRefused, "the broadcast address"},
    {"240.0.0.0", 4, Verdict::kRefused, "in the reserved block 240.0.0.0/4"},
    {"10.0.0.0", 8, Verdict::kPrivate, "a private address (RFC 1918)"},
    {"172.16.0.0", 12, Verdict::kPrivate, "a private address (RFC 1918)"},
    {"192.168.0.0", 16, Verdict::kPrivate, "a private address (RFC 1918)"},
    {"100.64.0.0", 10, Verdict::kPrivate, "a shared address (100.64.0.0/10, carrier-grade NAT)"},
    {"192.0.2.0", 24, Verdict::kPrivate, "a documentation address"},
    {"198.51.100.0", 24, Verdict::kPrivate, "a documentation address"},
    {"203.0.113.0", 24, Verdict::kPrivate, "a documentation address"},
    {"198.18.0.0", 15, Verdict::kPrivate, "a benchmarking address (198.18.0.0/15)"},
    // Protocol assignments and anycast services: never a host's own.
    {"192.0.0.0", 24, Verdict::kRefused, "an IETF protocol assignment (192.0.0.0/24)"},
    {"192.88.99.0", 24, Verdict::kRefused, "a 6to4 relay anycast address (192.88.99.0/24)"},
};

constexpr Range kIpv6Ranges[] = {
    {"::", 128, Verdict::kRefused, "the unspecified address"},
    {"::1", 128, Verdict::kRefused, "the loopback address"},
    {"::ffff:0:0", 96, Verdict::kRefused, "an IPv4-mapped address"},
    {"fe80::", 10, Verdict::kRefused, "a link-local address"},
    {"ff00::", 8, Verdict::kRefused, "a multicast address"},
    {"fec0::", 10, Verdict::kRefused, "a site-local address (deprecated)"},
    {"fc00::", 7, Verdict::kPrivate, "a unique local address (fc00::/7)"},
    {"2001:db8::", 32, Verdict::kPrivate, "a documentation address"},
    {"3fff::", 20, Verdict::kPrivate, "a documentation address"},
    {"2001:2::", 48, Verdict::kPrivate, "a benchmarking address (2001:2::/48)"},
    {"64:ff9b::", 96, Verdict::kRefused, "an IPv4/IPv6 translation address (64:ff9b::/96)"},
    {"64:ff9b:1::", 48, Verdict::kRefused, "an IPv4/IPv6 translation address (64:ff9b:1::/48)"},
    {"100::", 64, Verdict::kRefused, "a discard-only address (100::/64)"},
    // The globally reachable blocks of 2001::/23.
    {"2001:1::1", 128, Verdict::kGlobal, ""},
    {"2001:1::2", 128, Verdict::kGlobal, ""},
    {"2001:1::3", 128, Verdict::kGlobal, ""},
    {"2001:3::", 32, Verdict::kGlobal, ""},
    {"2001:4:112::", 48, Verdict::kGlobal, ""},
    {"2001:20::", 28, Verdict::kGlobal, ""},
    {"2001:30::", 28, Verdict::kGlobal, ""},
    {"2001::", 32, Verdict::kRefused, "a Teredo tunnel address (2001::/32)"},
    {"2001::", 23, Verdict::kRefused, "an IETF protocol assignment (2001::/23)"},
    {"2002::", 16, Verdict::kRefused, "a 6to4 address (2002::/16, deprecated)"},
};

struct ParsedRange {
  std::array<unsigned char, 16> prefix{};
  unsigned bits;
  Verdict verdict;
  const char* what;
};

template <size_t N>
std::vector<ParsedRange> parse_ranges(const Range (&ranges)[N], int af) {
  std::vector<ParsedRange> parsed;
  parsed.reserve(N);
  for (const Range& range : ranges) {
    ParsedRange entry{{}, range.bits, range.verdict, range.what};
    inet_pton(af, range.prefix, entry.prefix.data());  // the table is valid
    parsed.push_back(entry);
  }
  return parsed;
}

bool in_prefix(const unsigned char* address, const ParsedRange& range) {
  const unsigned whole = range.bits / 8;
  if (std::memcmp(address, range.prefix.data(), whole) != 0) return false;
  const unsigned rest = range.bits % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
  return (address[whole] & mask) == (range.prefix[whole] & mask);
}

const ParsedRange* range_of(const unsigned char* address, int family) {
  static const std::vector<ParsedRange> ipv4 = parse_ranges(kIpv4Ranges, AF_INET);
  static const std::vector<ParsedRange> ipv6 = parse_ranges(kIpv6Ranges, AF_INET6);
  for (const ParsedRange& range : family == 4 ? ipv4 : ipv6) {
    if (in_prefix(address, range)) return &range;
  }
  return nullptr;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view strip(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

GateVerdict refused(std::string_view text, std::string reason) {
  return {false, printable_excerpt(text), std::move(reason)};
}

const char* family_name(int family) { return family == 4 ? "IPv4" : "IPv6"; }

}  // namespace

std::string printable_excerpt(std::string_view text, size_t limit) {
  std::string out;
  for (char c : text.substr(0, limit)) out += c >= 0x20 && c < 0x7F ? c : '?';
  if (text.size() > limit) out += "...";
  return out;
}

bool is_plain_text(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == 0) return false;
    size_t length = 1;
    uint32_t point = c;
    if (c >= 0x80) {
      if (c >= 0xC2 && c <= 0xDF) {
        length = 2, point = c & 0x1F;
      } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3, point = c & 0x0F;
      } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4, point = c & 0x07;
      } else {
        return false;
      }
      if (i + length > text.size()) return false;
      for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return false;
        point = (point << 6) | (next & 0x3F);
      }
      // Overlong forms, surrogates and points beyond U+10FFFF.
      if ((length == 3 && point < 0x800) || (length == 4 && point < 0x10000) ||
          (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) {
        return false;
      }
    }
    i += length;
  }
  return true;
}

GateVerdict gate_address(std::string_view text, int family, bool allow_private) {
  const std::string_view candidate = strip(text);
  if (candidate.empty()) return refused(candidate, "the answer is empty");
  std::string quoted(1, '\'');
  quoted.append(printable_excerpt(candidate)).push_back('\'');
  if (candidate.front() == '<')
    return refused(candidate, "the answer is an HTML page, not an address");
  if (candidate.find_first_of(" \t\r\n,;") != std::string_view::npos) {
    return refused(candidate, quoted + " is not exactly one address");
  }
  if (candidate.find('%') != std::string_view::npos) {
    return refused(candidate,
                   quoted + " has a zone index, which only means something on this host");
  }
  const std::string value(candidate);
  unsigned char address[16];
  const int af = family == 4 ? AF_INET : AF_INET6;
  if (inet_pton(af, value.c_str(), address) != 1) {
    const int other = family == 4 ? AF_INET6 : AF_INET;
    if (inet_pton(other, value.c_str(), address) == 1) {
      return refused(candidate, quoted + " is not an " + family_name(family) + " address");
    }
    return refused(candidate, quoted + " is not an IP address");
  }
  char canonical[INET6_ADDRSTRLEN] = {};
  inet_ntop(af, address, canonical, sizeof canonical);
  const ParsedRange* range = range_of(address, family);
  if (range != nullptr && range->verdict != Verdict::kGlobal &&
      !(range->verdict == Verdict::kPrivate && allow_private)) {
    return refused(canonical, std::string(canonical) + " is " + range->what);
  }
  if (range == nullptr && family == 6 && (address[0] & 0xE0) != 0x20) {
    return refused(canonical,
                   std::string(canonical) + " is not a global unicast address (outside 2000::/3)");
  }
  return {true, canonical, {}};
}

GateVerdict gate_answer(std::string_view text, int family, bool allow_private) {
  std::string_view found;
  size_t lines_found = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = strip(text.substr(start, end - start));
    if (line.starts_with("ip=")) {
      found = line.substr(3);
      ++lines_found;
    }
    start = end + 1;
  }
  if (lines_found > 1) return refused(text, "the answer holds more than one ip= line");
  return gate_address(lines_found == 1 ? found : text, family, allow_private);
}

}  // namespace nuv
