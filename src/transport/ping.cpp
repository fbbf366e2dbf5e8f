#include "transport/ping.h"

#include <curl/curl.h>

#include <vector>

#include "common/mask_secret.h"
#include "common/percent_encode.h"
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

// A push URL carries its message in the query, where servers cap the length.
constexpr size_t kMaxPushMessageBytes = 1024;

bool is_kuma_push(std::string_view path) {
  return path.find("/api/push/") != std::string_view::npos;
}

// The query with `key`'s parameters left out.
std::string without_parameter(std::string_view query, std::string_view key) {
  std::string kept;
  size_t at = 0;
  while (at <= query.size()) {
    size_t end = query.find('&', at);
    if (end == std::string_view::npos) end = query.size();
    const std::string_view item = query.substr(at, end - at);
    const std::string_view name = item.substr(0, item.find('='));
    if (!item.empty() && name != key) {
      if (!kept.empty()) kept += '&';
      kept.append(item);
    }
    at = end + 1;
  }
  return kept;
}

}  // namespace

HeartbeatRequest heartbeat_request(std::string_view url, HeartbeatEvent event, bool has_message,
                                   std::string_view message) {
  HeartbeatRequest request;
  request.url = std::string(url);
  request.post = has_message;
  if (event == HeartbeatEvent::kNone) return request;
  const size_t fragment = url.find('#');
  const std::string_view bare = url.substr(0, fragment);
  const size_t question = bare.find('?');
  std::string_view path = bare.substr(0, question);
  const std::string_view query =
      question == std::string_view::npos ? std::string_view() : bare.substr(question + 1);
  if (is_kuma_push(path)) {
    request.post = false;
    if (event == HeartbeatEvent::kStart) {
      request.send = false;
      return request;
    }
    const std::string rest = without_parameter(without_parameter(query, "status"), "msg");
    // Built by appending: GCC 12's -Wrestrict misreads chains of operator+.
    std::string built(path);
    built.append(event == HeartbeatEvent::kFail ? "?status=down&msg=" : "?status=up&msg=");
    built.append(percent_encode(has_message ? cut_at_character(message, kMaxPushMessageBytes)
                                            : std::string("OK")));
    if (!rest.empty()) built.append("&").append(rest);
    request.url = std::move(built);
    return request;
  }
  const size_t authority = path.find("://");
  const size_t path_start =
      authority == std::string_view::npos ? std::string_view::npos : path.find('/', authority + 3);
  while (path_start != std::string_view::npos && path.size() > path_start + 1 &&
         path.back() == '/') {
    path.remove_suffix(1);
  }
  request.url = std::string(path);
  if (path_start == std::string_view::npos) request.url += "/";
  if (event == HeartbeatEvent::kStart) request.url += "/start";
  if (event == HeartbeatEvent::kFail) request.url += "/fail";
  if (!query.empty()) request.url.append("?").append(query);
  return request;
}

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
