#include "transport/ping.h"

#include <curl/curl.h>

#include <vector>

#include "common/mask_secret.h"
#include "transport/address_gate.h"
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

// `text` cut to at most `limit` bytes, never inside a UTF-8 character.
std::string cut_at_character(std::string_view text, size_t limit) {
  if (text.size() <= limit) return std::string(text);
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

PingResult failed(std::string why, int http_status, int curl_code) {
  PingResult result;
  result.outcome = PingOutcome::kFailed;
  result.why = std::move(why);
  result.http_status = http_status;
  result.curl_code = curl_code;
  return result;
}

}  // namespace

bool is_ping_url(std::string_view url) {
  if (!starts_with_ignoring_case(url, "http://") && !starts_with_ignoring_case(url, "https://")) {
    return false;
  }
  for (char c : url) {
    if (c == '\0' || c == ' ' || c == '\t' || c == '\r' || c == '\n') return false;
  }
  return true;
}

std::string mask_ping_url(std::string_view url) {
  const size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return mask_secret(url);
  const size_t authority_start = scheme_end + 3;
  size_t authority_end = url.find_first_of("/?#", authority_start);
  if (authority_end == std::string_view::npos) authority_end = url.size();
  std::string shown = mask_url(url.substr(0, authority_end));
  const std::string_view rest = url.substr(authority_end);
  if (rest.empty() || rest == "/") return shown + std::string(rest);
  shown += "/";
  shown += mask_secret(rest.substr(1));
  return shown;
}

PingResult send_ping(const std::string& url, const std::string* message,
                     const PingOptions& options) {
  static const std::vector<std::string> kGetHeaders = {"Accept: */*"};
  static const std::vector<std::string> kPostHeaders = {"Accept: */*",
                                                        "Content-Type: text/plain; charset=utf-8"};
  // No rate limit (RequestSettings::rate_limit is 0): the window is unused.
  const ServiceLimits limits{"", kCloudflareWindowSeconds};
  const std::string shown = mask_ping_url(url);
  std::string body;
  if (message != nullptr) body = cut_at_character(*message, kMaxPingMessageBytes);
  RequestText request{message != nullptr ? "POST" : "GET", url,
                      message != nullptr ? kPostHeaders : kGetHeaders,
                      message != nullptr ? &body : nullptr, options.proxy};
  request.follow_redirects = false;
  request.max_response_bytes = kMaxPingAnswerBytes;
  request.shown_url = shown;
  // Two pings where one was meant are harmless: each is sent again like a read.
  const HttpResult answer =
      send_with_policy(message != nullptr ? RequestKind::kIdempotentWrite : RequestKind::kRead,
                       request, options.request, limits);
  if (answer.interrupted) {
    PingResult result;
    result.outcome = PingOutcome::kInterrupted;
    return result;
  }
  if (!answer.answered) {
    const int code = answer.status;
    std::string why = code > 0 ? curl_easy_strerror(static_cast<CURLcode>(code)) : answer.body;
    if (answer.too_large)
      why = "the answer is longer than " + std::to_string(kMaxPingAnswerBytes) + " bytes";
    if (!answer.too_large && !answer.detail.empty() && answer.detail != why) {
      why += " (" + printable_excerpt(answer.detail, 200) + ")";
    }
    if (trace_enabled()) trace("ping not sent: %s\n", why.c_str());
    return failed(std::move(why), 0, code > 0 ? code : 0);
  }
  const int status = answer.status;
  if (status < 200 || status >= 300) {
    std::string why = "answered HTTP " + std::to_string(status);
    if (status >= 300 && status < 400) why += " (a redirect: give the URL it names)";
    if (trace_enabled()) trace("ping refused: %s\n", why.c_str());
    return failed(std::move(why), status, 0);
  }
  PingResult result;
  result.outcome = PingOutcome::kSent;
  result.http_status = status;
  return result;
}

}  // namespace nuv
