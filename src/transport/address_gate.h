// The sanity gate of an address look-up: whether what a source answered is
// one address that may be published as this host's. Pure functions of the
// text, no I/O, so that every source (a page, an interface, a given address)
// is judged by the same rules.
//
// Accepted: exactly one global unicast address of the wanted family. Refused,
// always: the unspecified address, loopback, link-local, multicast, the
// broadcast address, IPv4-mapped IPv6, a zone index ("%eth0"), 0.0.0.0/8,
// 240.0.0.0/4, 192.0.0.0/24, 192.88.99.0/24, site-local fec0::/10, Teredo
// 2001::/32 and the rest of 2001::/23 but its globally reachable blocks,
// 6to4 2002::/16, and IPv6 outside 2000::/3 (64:ff9b::/96, 100::/64, ...).
// Refused unless private addresses are allowed (split-horizon zones): RFC
// 1918, shared 100.64.0.0/10, benchmarking 198.18.0.0/15 and 2001:2::/48,
// documentation (192.0.2.0/24, 198.51.100.0/24, 203.0.113.0/24,
// 2001:db8::/32, 3fff::/20) and unique local fc00::/7.
#pragma once

#include <string>
#include <string_view>

namespace nuv {

struct GateVerdict {
  bool accepted = false;
  // Accepted: the address in its canonical text. Refused: what was judged,
  // shortened to printable ASCII.
  std::string address;
  // Refused: one line on why ("127.0.0.1 is a loopback address").
  std::string reason;
};

// `family` is 4 or 6.
GateVerdict gate_address(std::string_view text, int family, bool allow_private);

// The address a page answered: the value of its one "ip=" line (as
// /cdn-cgi/trace writes it), else its whole text; blanks around it ignored.
GateVerdict gate_answer(std::string_view text, int family, bool allow_private);

// Whether `text` is UTF-8 without a zero byte: an answer that is not is not
// read at all.
bool is_plain_text(std::string_view text);

// `text` cut to `limit` bytes of printable ASCII (others become '?'), with
// "..." when cut: foreign text fit for one line of a message.
std::string printable_excerpt(std::string_view text, size_t limit = 60);

}  // namespace nuv
