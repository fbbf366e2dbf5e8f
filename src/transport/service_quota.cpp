#include "transport/service_quota.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "transport/interruption.h"
#include "transport/trace.h"

namespace nuv {

namespace {

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A non-negative finite number, or nullopt.
std::optional<double> number_of(std::string_view text) {
  const std::string copy(trimmed(text));
  if (copy.empty() || copy.find_first_not_of("0123456789.") != std::string::npos) {
    return std::nullopt;
  }
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

// Calls `take(key, value)` for each "key=value" parameter of the first item
// of a structured-field list ('"default";r=50;t=30, "other";...').
template <class Take>
void for_each_parameter(std::string_view header, Take take) {
  header = header.substr(0, header.find(','));
  size_t at = header.find(';');
  while (at != std::string_view::npos) {
    const size_t next = header.find(';', at + 1);
    const std::string_view item = header.substr(
        at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1);
    const size_t equals = item.find('=');
    if (equals != std::string_view::npos) {
      take(trimmed(item.substr(0, equals)), item.substr(equals + 1));
    }
    at = next;
  }
}

}  // namespace

ServiceQuota read_service_quota(std::string_view ratelimit, std::string_view policy) {
  ServiceQuota quota;
  for_each_parameter(ratelimit, [&](std::string_view key, std::string_view value) {
    const std::optional<double> number = number_of(value);
    if (!number) return;
    if (key == "r") quota.remaining = *number > 1e9 ? 1000000000L : static_cast<long>(*number);
    if (key == "t") quota.reset_in = *number;
  });
  for_each_parameter(policy, [&](std::string_view key, std::string_view value) {
    if (key == "w") quota.window = number_of(value);
  });
  return quota;
}

std::optional<double> quota_wait(const HttpResult& answer, double max_seconds) {
  if (answer.ratelimit.empty()) return std::nullopt;
  const ServiceQuota quota = read_service_quota(answer.ratelimit, answer.ratelimit_policy);
  if (!quota.remaining || *quota.remaining > 0) return std::nullopt;
  const std::optional<double> wait = quota.reset_in ? quota.reset_in : quota.window;
  if (!wait || *wait <= 0) return std::nullopt;
  return std::min(*wait, max_seconds);
}

bool pace_by_service_quota(const HttpResult& answer, double max_seconds, bool interruptible) {
  const std::optional<double> wait = quota_wait(answer, max_seconds);
  if (!wait) return true;
  trace("rate limit: the service says none of the token's requests are left, waiting %.1f s\n",
        *wait);
  return interruptible_wait(*wait * wait_scale(), interruptible);
}

}  // namespace nuv
