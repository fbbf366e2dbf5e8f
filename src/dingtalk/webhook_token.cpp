#include "dingtalk/webhook_token.h"

namespace nuv {

namespace {

constexpr std::string_view kHost = "oapi.dingtalk.com";
constexpr std::string_view kPath = "/robot/send";
constexpr std::string_view kTokenKey = "access_token=";

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ascii_nocase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (ascii_lower(text[i]) != lower[i]) return false;
  }
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = ascii_lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "%XX" decoded once; a "%" without two hex digits stays as it is.
std::string percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = hex_value(text[i + 1]);
      const int low = hex_value(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

// The part after "http://" or "https://", or nullopt when `token` is no URL.
std::optional<std::string_view> after_scheme(std::string_view token) {
  for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
    if (token.size() >= scheme.size() &&
        equals_ascii_nocase(token.substr(0, scheme.size()), scheme)) {
      return token.substr(scheme.size());
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> robot_access_token(std::string_view token) {
  const std::optional<std::string_view> rest = after_scheme(token);
  if (!rest) return std::string(token);
  std::string_view url = *rest;
  url = url.substr(0, url.find('#'));
  const size_t query_start = url.find('?');
  if (query_start == std::string_view::npos) return std::nullopt;
  const std::string_view location = url.substr(0, query_start);
  const size_t path_start = location.find('/');
  if (path_start == std::string_view::npos) return std::nullopt;
  if (!equals_ascii_nocase(location.substr(0, path_start), kHost) ||
      location.substr(path_start) != kPath) {
    return std::nullopt;
  }
  std::string_view query = url.substr(query_start + 1);
  while (true) {
    const size_t end = query.find('&');
    const std::string_view param = query.substr(0, end);
    if (param.starts_with(kTokenKey) && param.size() > kTokenKey.size()) {
      return percent_decode(param.substr(kTokenKey.size()));
    }
    if (end == std::string_view::npos) return std::nullopt;
    query = query.substr(end + 1);
  }
}

}  // namespace nuv
