// The sanity gate of address look-ups: whatever a page answers, an accepted
// address is one canonical address of the family outside every range a host
// must not publish, the opt-in for private addresses only ever admits more,
// and a refusal says why in printable text.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "transport/address_gate.h"

namespace {

bool printable(const std::string& text) {
  for (char c : text) {
    if (c < 0x20 || c >= 0x7F) return false;
  }
  return true;
}

// A few ranges checked independently of the gate's table.
bool never_published(int family, const unsigned char* a) {
  if (family == 4) {
    return a[0] == 0 || a[0] == 127 || a[0] >= 224 || (a[0] == 169 && a[1] == 254);
  }
  // Outside 2000::/3 only unique local addresses may pass (with the opt-in).
  return (a[0] & 0xE0) != 0x20 && (a[0] & 0xFE) != 0xFC;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const int family = input.ConsumeBool() ? 6 : 4;
  const std::string text = input.ConsumeRemainingBytesAsString();

  const nuv::GateVerdict strict = nuv::gate_answer(text, family, false);
  const nuv::GateVerdict open = nuv::gate_answer(text, family, true);
  for (const nuv::GateVerdict* verdict : {&strict, &open}) {
    FUZZ_CHECK(printable(verdict->address) && printable(verdict->reason));
    FUZZ_CHECK(verdict->accepted == verdict->reason.empty());
    if (!verdict->accepted) continue;
    unsigned char address[16];
    FUZZ_CHECK(inet_pton(family == 4 ? AF_INET : AF_INET6, verdict->address.c_str(), address) == 1);
    FUZZ_CHECK(!never_published(family, address));
    // Canonical: judging the answer again changes nothing.
    const nuv::GateVerdict again = nuv::gate_address(verdict->address, family, verdict == &open);
    FUZZ_CHECK(again.accepted && again.address == verdict->address);
  }
  if (strict.accepted) FUZZ_CHECK(open.accepted && open.address == strict.address);
  nuv::is_plain_text(text);
  return 0;
}
