#include "transport/address_lookup.h"

#include <curl/curl.h>

#include <cstdio>
#include <vector>

#include "common/gil.h"
#include "common/mask_secret.h"
#include "transport/address_gate.h"
#include "transport/env_proxy.h"
#include "transport/interface_addresses.h"
#include "transport/retry_policy.h"
#include "transport/trace.h"

namespace nuv {

namespace {

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

const char* family_name(int family) { return family == 4 ? "IPv4" : "IPv6"; }

AddressLookup unreadable(std::string why, int http_status = 0, int curl_code = 0) {
  AddressLookup lookup;
  lookup.outcome = LookupOutcome::kUnreadable;
  lookup.why = std::move(why);
  lookup.http_status = http_status;
  lookup.curl_code = curl_code;
  return lookup;
}

AddressLookup judged(const GateVerdict& verdict) {
  AddressLookup lookup;
  lookup.outcome = verdict.accepted ? LookupOutcome::kAddress : LookupOutcome::kRefused;
  lookup.address = verdict.address;
  lookup.why = verdict.reason;
  return lookup;
}

// The <title> of an HTML error page, on one line; "" when it has none.
std::string page_title(std::string_view body) {
  std::string lower(body.substr(0, kMaxAddressPageBytes));
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const size_t open = lower.find("<title");
  if (open == std::string::npos) return {};
  const size_t start = lower.find('>', open);
  if (start == std::string::npos) return {};
  const size_t end = lower.find("</", start);
  std::string title;
  for (char c : body.substr(start + 1, end == std::string::npos ? 0 : end - start - 1)) {
    const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
    if (blank && (title.empty() || title.back() == ' ')) continue;
    title += blank ? ' ' : c;
  }
  while (!title.empty() && title.back() == ' ') title.pop_back();
  return printable_excerpt(title, 80);
}

// " (text)"; built by appending, which GCC 12's -Wrestrict does not
// misread the way it misreads "literal" + string + "literal".
std::string in_parentheses(std::string_view text) {
  std::string out(" (");
  out.append(text).push_back(')');
  return out;
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

AddressLookup transfer_failed(const HttpResult& answer, const AddressLookupOptions& options) {
  const int code = answer.status;
  std::string why;
  if (answer.too_large) {
    why = "the answer is longer than " + std::to_string(kMaxAddressPageBytes) + " bytes";
  } else if (code == CURLE_OPERATION_TIMEDOUT) {
    why = "no complete answer within " + seconds_text(options.request.timeout) + " s";
  } else if (code == CURLE_PARTIAL_FILE) {
    why = "the answer ended before its declared length";
  } else {
    why = code > 0 ? curl_easy_strerror(static_cast<CURLcode>(code)) : answer.body;
    if (!answer.detail.empty() && answer.detail != why) {
      why += in_parentheses(printable_excerpt(answer.detail, 200));
    }
  }
  return unreadable(std::move(why), 0, code);
}

AddressLookup read_page(const std::string& first_url, int family,
                        const AddressLookupOptions& options) {
  static const std::vector<std::string> kHeaders = {"Accept: text/plain"};
  // No rate limit (RequestSettings::rate_limit is 0): the window is unused.
  const ServiceLimits limits{"", kCloudflareWindowSeconds};
  std::string url = first_url;
  for (int hop = 0;; ++hop) {
    RequestText request{"GET", url, kHeaders, nullptr, options.proxy};
    // Each hop is decided here: libcurl would keep the first hop's proxy for
    // a redirect target that no_proxy excludes.
    request.follow_redirects = false;
    request.max_response_bytes = kMaxAddressPageBytes;
    const HttpResult answer =
        send_with_policy(RequestKind::kRead, request, options.request, limits);
    if (answer.interrupted) {
      AddressLookup lookup;
      lookup.outcome = LookupOutcome::kInterrupted;
      return lookup;
    }
    if (!answer.answered) return transfer_failed(answer, options);
    const int status = answer.status;
    if (status >= 300 && status < 400 && !answer.redirect_url.empty()) {
      const std::string& next = answer.redirect_url;
      const std::string scheme = url_target(next).scheme;
      if (scheme != "http" && scheme != "https") {
        return unreadable("redirected to a URL of another scheme (" +
                              printable_excerpt(scheme, 20) + "); only http and https are read",
                          status);
      }
      if (scheme == "http" && url_target(url).scheme == "https") {
        return unreadable("redirected from https to plain http", status);
      }
      if (hop == kMaxAddressRedirects) {
        return unreadable("more than " + std::to_string(kMaxAddressRedirects) + " redirects",
                          status);
      }
      if (trace_enabled()) {
        trace("redirect %d/%d: %s\n", hop + 1, kMaxAddressRedirects, mask_url(next).c_str());
      }
      url = next;
      continue;
    }
    if (status < 200 || status >= 300) {
      const std::string title = page_title(answer.body);
      return unreadable(
          "answered HTTP " + std::to_string(status) + (title.empty() ? "" : in_parentheses(title)),
          status);
    }
    if (answer.cut_at_nul || !is_plain_text(answer.body)) {
      return unreadable("the answer is not text", status);
    }
    AddressLookup lookup = judged(gate_answer(answer.body, family, options.allow_private));
    lookup.http_status = status;
    return lookup;
  }
}

AddressLookup read_interface(const std::string& name, int family,
                             const AddressLookupOptions& options) {
  InterfaceAddresses found;
  {
    GilRelease unlocked;
    found = interface_addresses(name, family);
  }
  if (!found.error.empty()) return unreadable(found.error);
  if (trace_enabled()) {
    std::string listed;
    for (const std::string& address : found.addresses) listed += " " + address;
    trace("interface %s:%s\n", name.c_str(), listed.empty() ? " no address" : listed.c_str());
  }
  if (found.addresses.empty()) {
    AddressLookup none;
    none.outcome = LookupOutcome::kNoAddress;
    return none;
  }
  // The first that passes; else the first's refusal says why none did.
  GateVerdict first;
  for (size_t i = 0; i < found.addresses.size(); ++i) {
    GateVerdict verdict = gate_address(found.addresses[i], family, options.allow_private);
    if (verdict.accepted) return judged(verdict);
    if (i == 0) first = std::move(verdict);
  }
  AddressLookup lookup = judged(first);
  lookup.why =
      "no global " + std::string(family_name(family)) + " address" + in_parentheses(lookup.why);
  return lookup;
}

}  // namespace

bool parse_address_source(std::string_view text, AddressSource& source, std::string& why) {
  if (text == "none") {
    source = {SourceKind::kNone, {}};
    return true;
  }
  const size_t colon = text.find(':');
  const std::string_view kind = text.substr(0, colon);
  const std::string_view value = colon == std::string_view::npos ? "" : text.substr(colon + 1);
  if (text.find('\0') != std::string_view::npos) {
    why = "a source must not hold a NUL character";
    return false;
  }
  if (colon == std::string_view::npos || value.empty() ||
      (kind != "url" && kind != "iface" && kind != "static")) {
    why.assign(1, '\'');
    why.append(printable_excerpt(text))
        .append("' is not a source: use url:URL, iface:NAME, static:ADDRESS or none");
    return false;
  }
  if (kind == "url" && !starts_with_ignoring_case(value, "http://") &&
      !starts_with_ignoring_case(value, "https://")) {
    why = "the URL of a url: source must start with http:// or https://";
    return false;
  }
  source.kind = kind == "url"     ? SourceKind::kUrl
                : kind == "iface" ? SourceKind::kInterface
                                  : SourceKind::kStatic;
  source.value = std::string(value);
  return true;
}

AddressLookup lookup_address(const AddressSource& source, int family,
                             const AddressLookupOptions& options) {
  const bool tracing = trace_enabled();
  AddressLookup lookup;
  switch (source.kind) {
    case SourceKind::kNone:
      lookup.outcome = LookupOutcome::kNoAddress;
      return lookup;
    case SourceKind::kStatic:
      lookup = judged(gate_address(source.value, family, options.allow_private));
      break;
    case SourceKind::kInterface:
      lookup = read_interface(source.value, family, options);
      break;
    case SourceKind::kUrl:
      if (tracing)
        trace("address lookup (%s): %s\n", family_name(family), mask_url(source.value).c_str());
      lookup = read_page(source.value, family, options);
      break;
  }
  if (tracing) {
    switch (lookup.outcome) {
      case LookupOutcome::kAddress:
        trace("address: %s\n", lookup.address.c_str());
        break;
      case LookupOutcome::kNoAddress:
        trace("address: none (%s)\n", family_name(family));
        break;
      case LookupOutcome::kUnreadable:
        trace("address not read: %s\n", lookup.why.c_str());
        break;
      case LookupOutcome::kRefused:
        trace("address refused: %s\n", lookup.why.c_str());
        break;
      case LookupOutcome::kInterrupted:
        break;
    }
  }
  return lookup;
}

}  // namespace nuv
