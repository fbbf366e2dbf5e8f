#include "common/mask_secret.h"

#include <strings.h>

namespace nuv {

std::string mask_secret(std::string_view secret) {
  if (secret.empty()) return {};
  if (secret.size() < 16) return "***";
  return "***" + std::string(secret.substr(secret.size() - 4));
}

std::string mask_header_line(std::string_view line) {
  static constexpr std::string_view kBearer = "Authorization: Bearer ";
  if (line.size() < kBearer.size() ||
      strncasecmp(line.data(), kBearer.data(), kBearer.size()) != 0) {
    return std::string(line);
  }
  return std::string(line.substr(0, kBearer.size())) + mask_secret(line.substr(kBearer.size()));
}

std::string mask_proxy(std::string_view proxy) {
  // The user information ends at the last "@" before the host; without a
  // scheme it starts at the beginning.
  size_t start = proxy.find("://");
  start = start == std::string_view::npos ? 0 : start + 3;
  size_t authority_end = proxy.find_first_of("/?#", start);
  std::string_view authority =
      proxy.substr(start, authority_end == std::string_view::npos ? std::string_view::npos
                                                                  : authority_end - start);
  size_t at = authority.rfind('@');
  if (at == std::string_view::npos) {
    // A password holding an unencoded "/", "?" or "#" ends the authority
    // early; libcurl refuses such a proxy, but the text still reaches the
    // trace. Its user information then runs up to the last "@" of the text.
    at = proxy.rfind('@');
    if (at == std::string_view::npos || at < start) return std::string(proxy);
    authority = proxy.substr(start);
    at -= start;
  }
  size_t colon = authority.find(':');
  if (colon == std::string_view::npos || colon > at) return std::string(proxy);
  std::string out(proxy.substr(0, start + colon + 1));
  out += mask_secret(authority.substr(colon + 1, at - colon - 1));
  out += proxy.substr(start + at);
  return out;
}

std::string mask_url(std::string_view url) {
  // The robot's token, and its signature, which with the token lets anyone
  // post for up to an hour.
  static constexpr std::string_view kKeys[] = {"access_token=", "sign="};
  size_t query = url.find('?');
  if (query == std::string_view::npos) return std::string(url);
  std::string out(url.substr(0, query + 1));
  size_t pos = query + 1;
  while (pos <= url.size()) {
    size_t end = url.find_first_of("&#", pos);
    if (end == std::string_view::npos) end = url.size();
    std::string_view param = url.substr(pos, end - pos);
    bool masked = false;
    for (std::string_view key : kKeys) {
      if (!masked && param.starts_with(key)) {
        out += key;
        out += mask_secret(param.substr(key.size()));
        masked = true;
      }
    }
    if (!masked) out += param;
    if (end == url.size()) break;
    out.push_back(url[end]);
    if (url[end] == '#') {
      out += url.substr(end + 1);
      break;
    }
    pos = end + 1;
  }
  return out;
}

}  // namespace nuv
